#include "agent/ipc/ProcTable.h"

#include <string>
#include <utility>

#include "agent/ipc/CustomObject.h"
#include "agent/ipc/LineLimiter.h"
#include "agent/model/EsMessage.h"
#include "agent/model/JsonEncoding.h"
#include "platform/log/Log.h"
#include "platform/xpc/Transport.h"

namespace agent {
namespace {

// The table's document. The records it is made from are gone when it returns, so that while a
// large table is sent only its document is held (thousands of 4 KB paths are tens of MB each).
std::optional<std::string> encoded(ProcDictionary processes, ProcDetailsDictionary details) {
  model::PidTable table;
  table.table.reserve(processes.size());
  for (auto& [pid, executable] : processes) {
    model::PidAndExecutable entry;
    entry.pid = pid;
    entry.executable = std::move(executable);
    if (auto it = details.find(pid); it != details.end()) {
      entry.ppid = it->second.ppid;
      entry.uid = static_cast<model::Int>(it->second.uid);
      entry.args = std::move(it->second.args);
    }
    table.table.push_back(std::move(entry));
  }
  processes = {};
  details = {};
  return model::encode(table);
}

}  // namespace

void answerProcTable(const std::function<void(const ipc::NSData&)>& reply) {
  CustomObject object;
  ProcDetailsDictionary details;
  std::optional<ProcDictionary> processes = object.getProcs2(&details);
  if (!processes) {
    logLimited("could not get NSDictionary");
    reply(ipc::NSData(ipc::kProcTableFailureReply));
    return;
  }
  logLimited("objcDictionary size: " + std::to_string(static_cast<int>(processes->size())),
             "objcDictionary size: %d");

  auto json = encoded(std::move(*processes), std::move(details));
  processes.reset();
  if (!json) {
    reply(ipc::NSData(ipc::kProcTableFailureReply));
    return;
  }
  if (json->size() > xpc::kMaxByteArray) {
    // One reply cannot carry it: the client learns the table is unavailable rather than losing
    // its connection.
    logLimited("process table of " + std::to_string(json->size()) +
                   " bytes is over the 64 MiB one reply carries: answered as unavailable",
               "process table over the reply limit");
    reply(ipc::NSData(ipc::kProcTableFailureReply));
    return;
  }
  // Only the log: the agent's standard output may be the pipe a user reads documents from
  // (`scripts/run | jq`), where a line of ours would break the stream.
  logLimited("Encoded jsonData");
  reply(*json);
}

}  // namespace agent
