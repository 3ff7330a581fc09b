// The one object through which the entry code reaches the converter: each event-source message
// becomes one record, which is broadcast to the connected clients before the call returns.
#pragma once

#include "platform/endpoint_security/EndpointSecurity.h"

namespace agent {

class MySwiftBridge {
 public:
  // Created on first use, once, also when several threads ask at the same time.
  static MySwiftBridge& shared();

  MySwiftBridge(const MySwiftBridge&) = delete;
  MySwiftBridge& operator=(const MySwiftBridge&) = delete;

  // Converts `message` and hands the record to IPCForAgent's broadcast; returns once the
  // broadcast has. Nothing of the message is kept; the record's buffers are kept, per thread and
  // event kind, for the next message of that kind.
  void processEndpointMessage(es_message_t message);

 private:
  MySwiftBridge() = default;
};

}  // namespace agent
