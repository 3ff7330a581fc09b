#include "platform/endpoint_security/ProcessTable.h"

#include <mutex>

namespace platform::es {

std::optional<ProcessImage> ProcessTable::find(pid_t pid) const {
  std::shared_lock lock(mutex_);
  const auto it = images_.find(pid);
  if (it == images_.end()) return std::nullopt;
  return it->second;
}

void ProcessTable::put(ProcessImage image) {
  std::unique_lock lock(mutex_);
  const pid_t pid = image.pid;
  images_.insert_or_assign(pid, std::move(image));
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
