// Files the sources see run or written, handed to the sources that act on them (the YARA
// scanner). One per client, kept in its SourceContext: the process source tells of every exec it
// captures, whether or not anyone subscribed to exec events, and the launch-item source of every
// item file written. Observers are called on those sources' threads and must return in
// microseconds (take what they need and queue it): those threads read the kernel and cannot wait.
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/endpoint_security/process/ProcessImage.h"

namespace platform::es {

class FileObserver {
 public:
  virtual ~FileObserver() = default;
  // `process` is the new image: its exe (path, file status) and arguments as the exec set them.
  virtual void executed(const ProcessImage& process) = 0;
  // `writer` wrote the launch item at `path`.
  virtual void written(const std::string& path, const ProcessImage& writer) = 0;
};

class FileSightings {
 public:
  void add(FileObserver* observer) {
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
    count_.store(observers_.size(), std::memory_order_release);
  }
  // Once it returns, `observer` is not called again.
  void remove(FileObserver* observer) {
    std::lock_guard lock(mutex_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
    count_.store(observers_.size(), std::memory_order_release);
  }
  bool observed() const { return count_.load(std::memory_order_acquire) != 0; }

  void executed(const ProcessImage& process) {
    if (!observed()) return;  // nobody: no lock per exec
    std::lock_guard lock(mutex_);
    for (FileObserver* observer : observers_) observer->executed(process);
  }
  void written(const std::string& path, const ProcessImage& writer) {
    if (!observed()) return;
    std::lock_guard lock(mutex_);
    for (FileObserver* observer : observers_) observer->written(path, writer);
  }

 private:
  std::mutex mutex_;
  std::vector<FileObserver*> observers_;
  std::atomic<std::size_t> count_{0};
};

}  // namespace platform::es
