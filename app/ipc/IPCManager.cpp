#include "app/ipc/IPCManager.h"

#include "platform/log/Log.h"

namespace app {

void IPCManager::reportEndpointMessageWithMsg(const ipc::NSData&) {
  os_log(OS_LOG_DEFAULT, "got message from endpoint system extension");
}

void IPCManager::reportNetworkMessageWithMsg(const ipc::NSData&) {
  os_log(OS_LOG_DEFAULT, "got message from network system extension");
}

void IPCManager::reportExecutableForPidWithMsg(const ipc::NSData&) {
  os_log(OS_LOG_DEFAULT, "got report for executable and PID");
}

}  // namespace app
