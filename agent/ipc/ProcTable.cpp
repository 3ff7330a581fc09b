#include "agent/ipc/ProcTable.h"

#include <cstdio>
#include <string>
#include <utility>

#include "agent/ipc/CustomObject.h"
#include "agent/model/EsMessage.h"
#include "agent/model/JsonEncoding.h"
#include "platform/log/Log.h"

namespace agent {

void answerProcTable(const std::function<void(const ipc::NSData&)>& reply) {
  CustomObject object;
  std::optional<ProcDictionary> processes = object.getProcs2();
  if (!processes) {
    os_log(OS_LOG_DEFAULT, "could not get NSDictionary");
    reply(ipc::NSData(ipc::kProcTableFailureReply));
    return;
  }
  os_log(OS_LOG_DEFAULT, "objcDictionary size: %d", static_cast<int>(processes->size()));

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
  os_log(OS_LOG_DEFAULT, "Encoded jsonData");
  // Flushed at once: under a service manager standard output is a pipe, not a terminal.
  std::fputs("Encoded jsonData\n", stdout);
  std::fflush(stdout);
  reply(*json);
}

}  // namespace agent
