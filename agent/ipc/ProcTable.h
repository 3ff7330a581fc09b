// The answer to a client's process-table request.
#pragma once

#include <functional>

#include "shared/ipc/Protocols.h"

namespace agent {

// Takes a fresh snapshot of the running processes and calls `reply` exactly once: with the
// JSON document of the process table, or with the five bytes "Hello" when the table cannot be
// read or encoded. Runs on the caller's thread; concurrent calls are independent.
void answerProcTable(const std::function<void(const ipc::NSData&)>& reply);

}  // namespace agent
