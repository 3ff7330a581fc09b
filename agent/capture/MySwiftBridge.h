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
  // broadcast has. Nothing of the message or the record is kept.
  void processEndpointMessage(es_message_t message);

 private:
  MySwiftBridge() = default;
};

}  // namespace agent
