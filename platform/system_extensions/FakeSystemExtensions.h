// A backend for tests: keeps every submitted request, untouched, for the test to answer through
// its session (which delivers on the request's queue exactly as the real backend does).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/system_extensions/SystemExtensions.h"

namespace platform::system_extensions {

class FakeSystemExtensionBackend final : public SystemExtensionBackend {
 public:
  void submit(std::shared_ptr<OSSystemExtensionRequestSession> session) override {
    std::lock_guard lock(mutex_);
    sessions_.push_back(std::move(session));
  }

  std::vector<std::shared_ptr<OSSystemExtensionRequestSession>> sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
  }

  std::shared_ptr<OSSystemExtensionRequestSession> last() const {
    std::lock_guard lock(mutex_);
    return sessions_.empty() ? nullptr : sessions_.back();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<OSSystemExtensionRequestSession>> sessions_;
};

}  // namespace platform::system_extensions
