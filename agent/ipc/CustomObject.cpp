#include "agent/ipc/CustomObject.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "agent/model/Utf8.h"
#include "platform/sysctl/sysctl.h"

namespace agent {
namespace {

constexpr std::int32_t kFallbackArgumentSize = 4096;

std::atomic<std::int32_t> gArgumentSize{0};
std::mutex gArgumentSizeMutex;  // held while the first snapshot asks the kernel

}  // namespace

std::int32_t CustomObject::cachedArgumentSize() {
  std::int32_t size = gArgumentSize.load(std::memory_order_acquire);
  if (size != 0) return size;
  std::lock_guard lock(gArgumentSizeMutex);
  size = gArgumentSize.load(std::memory_order_relaxed);
  if (size != 0) return size;

  int mib[] = {platform::CTL_KERN, platform::KERN_ARGMAX};
  std::size_t length = sizeof size;
  if (platform::sysctl(mib, 2, &size, &length, nullptr, 0) == -1) {
    std::perror("sysctl argument size");
    size = kFallbackArgumentSize;
  } else if (size < static_cast<std::int32_t>(sizeof(std::int32_t)) + 1) {
    // A buffer this small cannot hold even the argument count and an empty path.
    size = kFallbackArgumentSize;
  }
  gArgumentSize.store(size, std::memory_order_release);
  return size;
}

void CustomObject::forgetArgumentSize() {
  std::lock_guard lock(gArgumentSizeMutex);
  gArgumentSize.store(0, std::memory_order_release);
}

namespace {

// The arguments that follow the executable path in a kern.procargs2 answer: `argc` strings, after
// the path's terminator and any padding. One cut off by the end of the answer is left out.
std::vector<std::string> argumentsAfterPath(std::int32_t argc, const char* from, const char* end) {
  std::vector<std::string> args;
  while (from < end && *from == '\0') ++from;
  for (std::int32_t i = 0; i < argc && from < end; ++i) {
    const auto* terminator =
        static_cast<const char*>(std::memchr(from, '\0', static_cast<std::size_t>(end - from)));
    if (terminator == nullptr) break;
    const std::string_view arg(from, static_cast<std::size_t>(terminator - from));
    args.emplace_back(model::isValidUtf8(arg) ? arg : std::string_view("unknown"));
    from = terminator + 1;
  }
  return args;
}

}  // namespace

std::optional<ProcDictionary> CustomObject::getProcs2(ProcDetailsDictionary* details) {
  const std::size_t argumentSize = static_cast<std::size_t>(cachedArgumentSize());
  ProcDictionary processes;

  int tableMib[] = {platform::CTL_KERN, platform::KERN_PROC, platform::KERN_PROC_ALL};
  std::size_t tableSize = 0;
  if (platform::sysctl(tableMib, 3, nullptr, &tableSize, nullptr, 0) < 0) return std::nullopt;
  const std::unique_ptr<unsigned char[]> table(new (std::nothrow) unsigned char[tableSize]);
  if (!table) return std::nullopt;
  std::size_t delivered = tableSize;
  if (platform::sysctl(tableMib, 3, table.get(), &delivered, nullptr, 0) < 0) return std::nullopt;
  delivered = std::min(delivered, tableSize);

  // One argument buffer serves every process in turn; each read is handed its full size. If it
  // cannot be had, no process can be read, and every one is left out as unreadable.
  const std::unique_ptr<char[]> arguments(new (std::nothrow) char[argumentSize]);
  if (!arguments) return processes;

  constexpr std::size_t kRecord = sizeof(platform::kinfo_proc);
  constexpr std::size_t kPidOffset =
      offsetof(platform::kinfo_proc, kp_proc) + offsetof(platform::extern_proc, p_pid);
  constexpr std::size_t kPpidOffset =
      offsetof(platform::kinfo_proc, kp_eproc) + offsetof(platform::eproc, e_ppid);
  constexpr std::size_t kUidOffset =
      offsetof(platform::kinfo_proc, kp_eproc) + offsetof(platform::eproc, e_uid);
  const std::size_t count = delivered / kRecord;
  for (std::size_t i = 0; i < count; ++i) {
    std::int32_t pid;
    std::memcpy(&pid, table.get() + i * kRecord + kPidOffset, sizeof pid);
    if (pid == 0) continue;

    int argsMib[] = {platform::CTL_KERN, platform::KERN_PROCARGS2, pid};
    std::size_t length = argumentSize;
    if (platform::sysctl(argsMib, 3, arguments.get(), &length, nullptr, 0) != 0) continue;
    length = std::min(length, argumentSize);
    // The path follows the 4-byte argument count and must end inside what was delivered: a
    // path cut off by the buffer is not this process's path.
    if (length <= sizeof(std::int32_t)) continue;
    const char* path = arguments.get() + sizeof(std::int32_t);
    const auto* terminator =
        static_cast<const char*>(std::memchr(path, '\0', length - sizeof(std::int32_t)));
    if (terminator == nullptr) continue;
    const std::string_view text(path, static_cast<std::size_t>(terminator - path));
    if (!model::isValidUtf8(text)) continue;
    processes.insert_or_assign(static_cast<std::int64_t>(pid), std::string(text));
    if (details != nullptr) {
      const unsigned char* record = table.get() + i * kRecord;
      std::int32_t ppid = 0, argc = 0;
      std::uint32_t uid = 0;
      std::memcpy(&ppid, record + kPpidOffset, sizeof ppid);
      std::memcpy(&uid, record + kUidOffset, sizeof uid);
      std::memcpy(&argc, arguments.get(), sizeof argc);
      details->insert_or_assign(
          static_cast<std::int64_t>(pid),
          ProcDetails{ppid, uid,
                      argumentsAfterPath(argc, terminator + 1, arguments.get() + length)});
    }
  }
  return processes;
}

}  // namespace agent
