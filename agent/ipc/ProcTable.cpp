#include "agent/ipc/ProcTable.h"

#include <string>
#include <utility>

#include "agent/ipc/CustomObject.h"
#include "agent/ipc/LineLimiter.h"
#include "agent/model/EsMessage.h"
#include "agent/model/JsonEncoding.h"
#include "platform/log/Log.h"

namespace agent {

void answerProcTable(const std::function<void(const ipc::NSData&)>& reply) {
  CustomObject object;
  std::optional<ProcDictionary> processes = object.getProcs2();
  if (!processes) {
    logLimited("could not get NSDictionary");
    reply(ipc::NSData(ipc::kProcTableFailureReply));
    return;
  }
  logLimited("objcDictionary size: " + std::to_string(static_cast<int>(processes->size())),
             "objcDictionary size: %d");

  model::PidTable table;
  table.table.reserve(processes->size());
  for (auto& [pid, executable] : *processes) {
    table.table.push_back(model::PidAndExecutable{pid, std::move(executable)});
  }
  auto json = model::encode(table);
  if (!json) {
    reply(ipc::NSData(ipc::kProcTableFailureReply));
    return;
  }
  // Only the log: the agent's standard output may be the pipe a user reads documents from
  // (`scripts/run | jq`), where a line of ours would break the stream.
  logLimited("Encoded jsonData");
  reply(*json);
}

}  // namespace agent
