#include "agent/ipc/ProcTable.h"

#include <cstdio>
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
std::optional<std::string> encoded(ProcDictionary processes) {
  model::PidTable table;
  table.table.reserve(processes.size());
  for (auto& [pid, executable] : processes) {
    table.table.push_back(model::PidAndExecutable{pid, std::move(executable)});
  }
  processes = {};
  return model::encode(table);
}

}  // namespace

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

  auto json = encoded(std::move(*processes));
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
  // The standard-output twin follows the log line's limit. Flushed at once: under a service
  // manager standard output is a pipe, not a terminal.
  if (logLimited("Encoded jsonData")) {
    std::fputs("Encoded jsonData\n", stdout);
    std::fflush(stdout);
  }
  reply(*json);
}

}  // namespace agent
