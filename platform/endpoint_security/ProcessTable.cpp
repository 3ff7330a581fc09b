#include "platform/endpoint_security/ProcessTable.h"

#include <mutex>

namespace platform::es {

std::optional<ProcessImage> ProcessTable::find(pid_t pid) const {
  std::shared_lock lock(mutex_);
  const auto it = images_.find(pid);
  if (it == images_.end()) return std::nullopt;
  return it->second;
}

std::optional<ProcessImage> ProcessTable::findLiveOrDeparted(pid_t pid) const {
  std::shared_lock lock(mutex_);
  if (const auto it = images_.find(pid); it != images_.end()) return it->second;
  for (auto it = departed_.rbegin(); it != departed_.rend(); ++it) {
    if (it->pid == pid) return *it;
  }
  return std::nullopt;
}

std::optional<ProcessImage> ProcessTable::awaitLiveOrDeparted(
    pid_t pid, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  waiters_.fetch_add(1, std::memory_order_acq_rel);
  std::optional<ProcessImage> found;
  {
    std::shared_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [&] {
      if (const auto it = images_.find(pid); it != images_.end()) {
        found = it->second;
        return true;
      }
      for (auto it = departed_.rbegin(); it != departed_.rend(); ++it) {
        if (it->pid == pid) {
          found = *it;
          return true;
        }
      }
      return false;
    });
  }
  waiters_.fetch_sub(1, std::memory_order_acq_rel);
  return found;
}

void ProcessTable::put(ProcessImage image) {
  {
    std::unique_lock lock(mutex_);
    const pid_t pid = image.pid;
    images_.insert_or_assign(pid, std::move(image));
  }
  if (waiters_.load(std::memory_order_acquire) > 0) changed_.notify_all();
}

bool ProcessTable::update(pid_t pid, const std::function<void(ProcessImage&)>& change) {
  std::unique_lock lock(mutex_);
  const auto it = images_.find(pid);
  if (it == images_.end()) return false;
  change(it->second);
  return true;
}

std::optional<ProcessImage> ProcessTable::take(pid_t pid) {
  std::unique_lock lock(mutex_);
  const auto it = images_.find(pid);
  if (it == images_.end()) return std::nullopt;
  ProcessImage image = std::move(it->second);
  images_.erase(it);
  if (departed_.size() == kDepartedKept) departed_.pop_front();
  departed_.push_back(image);
  departed_.back().args.reset();  // only who it was is needed
  departed_.back().envs.reset();
  return image;
}

void ProcessTable::replaceAll(std::unordered_map<pid_t, ProcessImage> images) {
  std::unique_lock lock(mutex_);
  images_.swap(images);
}

std::vector<ProcessImage> ProcessTable::snapshot() const {
  std::shared_lock lock(mutex_);
  std::vector<ProcessImage> out;
  out.reserve(images_.size());
  for (const auto& [pid, image] : images_) out.push_back(image);
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

}  // namespace platform::es
