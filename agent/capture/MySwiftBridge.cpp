#include "agent/capture/MySwiftBridge.h"

#include "agent/capture/Conversion.h"
#include "agent/ipc/IPCForAgent.h"

namespace agent {

MySwiftBridge& MySwiftBridge::shared() {
  static MySwiftBridge bridge;
  return bridge;
}

void MySwiftBridge::processEndpointMessage(es_message_t message) {
  const model::EsMessage record = makeEsMessage(message);
  IPCForAgent::shared().broadcastEndpointMessage(record);
}

}  // namespace agent
