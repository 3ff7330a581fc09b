#include "agent/capture/MySwiftBridge.h"

#include <array>
#include <cstddef>

#include "agent/capture/Conversion.h"
#include "agent/ipc/IPCForAgent.h"

namespace agent {

MySwiftBridge& MySwiftBridge::shared() {
  static MySwiftBridge bridge;
  return bridge;
}

namespace {

// An exec record holding more argument and environment text than this is not kept for reuse.
constexpr std::size_t kKeptExecBytes = 64 * 1024;

std::size_t textBytes(const std::optional<std::vector<model::String>>& list) {
  std::size_t bytes = 0;
  if (list) {
    for (const model::String& entry : *list) bytes += entry.capacity();
  }
  return bytes;
}

}  // namespace

void MySwiftBridge::processEndpointMessage(es_message_t message) {
  // A process event nobody connected wants is not even converted. The other kinds are: their
  // conversion writes the kind's line to the log whoever reads them.
  if (ipc::isProcessKind(message.event_type) &&
      !IPCForAgent::shared().currentConnections.wantsEventType(message.event_type)) {
    return;
  }
  // One record per event kind (and one for other types), converted into again for each message
  // of its kind: a storm of execs reuses the same texts and lists instead of allocating them
  // anew for every event.
  thread_local std::array<model::EsMessage, kEventKinds.size() + 1> records;
  const EventKind* kind = findEventKind(message.event_type);
  const auto slot = kind ? static_cast<std::size_t>(kind - kEventKinds.data()) : kEventKinds.size();
  model::EsMessage& record = records[slot];
  makeEsMessage(message, record);
  IPCForAgent::shared().broadcastEndpointMessage(record);
  if (record.exec && textBytes(record.exec->args) + textBytes(record.exec->envs) > kKeptExecBytes) {
    record = model::EsMessage{};
  }
}

}  // namespace agent
