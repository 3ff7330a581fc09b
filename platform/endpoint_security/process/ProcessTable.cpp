#include "platform/endpoint_security/process/ProcessTable.h"

#include <limits>

#include "platform/procfs/ProcFs.h"

namespace platform::es {

std::optional<ProcessImage> ProcessTable::find(pid_t pid) const {
  std::shared_lock lock(mutex_);
  const auto it = images_.find(pid);
  if (it == images_.end()) return std::nullopt;
  return it->second.image;
}

std::optional<ProcessImage> ProcessTable::findLiveOrDeparted(pid_t pid) const {
  return findAt(pid, std::numeric_limits<std::uint64_t>::max());
}

std::optional<ProcessImage> ProcessTable::findAt(pid_t pid, std::uint64_t atNs) const {
  std::shared_lock lock(mutex_);
  if (const auto it = images_.find(pid); it != images_.end() && it->second.sinceNs <= atNs) {
    return it->second.image;
  }
  // Newest first.
  const std::size_t kept = past_.size();
  for (std::size_t k = 1; k <= kept; ++k) {
    const Entry& past = past_[(pastNext_ + kept - k) % kept];
    if (past.image.pid == pid && past.sinceNs <= atNs) return past.image;
  }
  return std::nullopt;
}

void ProcessTable::keepPast(Entry entry) {
  entry.image.args.reset();  // only who it was is needed
  entry.image.envs.reset();
  if (past_.size() < kPastKept) {
    past_.push_back(std::move(entry));
  } else {
    past_[pastNext_] = std::move(entry);
  }
  pastNext_ = (pastNext_ + 1) % kPastKept;
}

void ProcessTable::put(ProcessImage image) {
  std::unique_lock lock(mutex_);
  const pid_t pid = image.pid;
  auto [it, added] = images_.try_emplace(pid);
  it->second.image = std::move(image);
}

void ProcessTable::put(ProcessImage image, std::uint64_t sinceNs) {
  std::unique_lock lock(mutex_);
  const pid_t pid = image.pid;
  auto [it, added] = images_.try_emplace(pid);
  if (!added) keepPast(std::move(it->second));
  it->second = Entry{std::move(image), sinceNs};
}

bool ProcessTable::update(pid_t pid, const std::function<void(ProcessImage&)>& change) {
  std::unique_lock lock(mutex_);
  const auto it = images_.find(pid);
  if (it == images_.end()) return false;
  change(it->second.image);
  return true;
}

std::optional<ProcessImage> ProcessTable::take(pid_t pid) {
  std::unique_lock lock(mutex_);
  const auto it = images_.find(pid);
  if (it == images_.end()) return std::nullopt;
  ProcessImage image = it->second.image;
  keepPast(std::move(it->second));
  images_.erase(it);
  return image;
}

void ProcessTable::replaceAll(std::unordered_map<pid_t, ProcessImage> images) {
  std::unordered_map<pid_t, Entry> entries;
  entries.reserve(images.size());
  for (auto& [pid, image] : images) entries.emplace(pid, Entry{std::move(image), 0});
  std::unique_lock lock(mutex_);
  images_.swap(entries);
}

std::vector<ProcessImage> ProcessTable::snapshot() const {
  std::shared_lock lock(mutex_);
  std::vector<ProcessImage> out;
  out.reserve(images_.size());
  for (const auto& [pid, entry] : images_) out.push_back(entry.image);
  return out;
}

std::vector<pid_t> ProcessTable::pids() const {
  std::shared_lock lock(mutex_);
  std::vector<pid_t> out;
  out.reserve(images_.size());
  for (const auto& entry : images_) out.push_back(entry.first);
  return out;
}

std::size_t ProcessTable::size() const {
  std::shared_lock lock(mutex_);
  return images_.size();
}

void ProcessTable::addReader(const void* owner, std::function<void()> readNow) {
  std::lock_guard lock(readerMutex_);
  readers_.emplace_back(owner, std::move(readNow));
}

void ProcessTable::removeReader(const void* owner) {
  std::lock_guard lock(readerMutex_);
  std::erase_if(readers_, [owner](const auto& reader) { return reader.first == owner; });
}

void ProcessTable::reached(std::uint64_t monotonicNs) {
  {
    std::lock_guard lock(readerMutex_);
    if (monotonicNs <= reached_.load(std::memory_order_relaxed)) return;
    reached_.store(monotonicNs, std::memory_order_release);
  }
  reachedChanged_.notify_all();
}

bool ProcessTable::catchUp(std::uint64_t atNs, std::chrono::microseconds limit) const {
  if (reached_.load(std::memory_order_acquire) >= atNs) return true;
  std::unique_lock lock(readerMutex_);
  if (readers_.empty()) return false;
  // Called under the lock: removeReader() cannot take a source away during the call.
  for (const auto& reader : readers_) reader.second();
  return reachedChanged_.wait_for(lock, limit,
                                  [&] { return reached_.load(std::memory_order_relaxed) >= atNs; });
}

void rescanProcesses(ProcessTable& table, ExecutableCache& executables, const ProcReader& proc) {
  std::unordered_map<pid_t, ProcessImage> fresh;
  for (const pid_t pid : proc.pids()) {
    std::optional<ProcessImage> image = readProcessImage(pid, executables, proc);
    if (!image) continue;
    if (auto old = table.find(pid); old && old->ppid == image->ppid) {
      image->originalPpid = old->originalPpid;
    }
    fresh.emplace(pid, std::move(*image));
  }
  table.replaceAll(std::move(fresh));
}

}  // namespace platform::es
