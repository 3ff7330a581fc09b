// Helpers for the application's tests: running the main queue, temporary directories, and a
// delegate that records what reaches it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_extensions/SystemExtensions.h"
#include "tests/support/TempDir.h"

namespace testsupport {

// Runs everything queued on the main queue, including blocks queued by those blocks.
inline void drainMainQueue() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
}

// Runs the main queue until the condition holds or the time is up; returns the condition.
inline bool runMainQueueUntil(const std::function<bool()>& condition,
                              std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

using TemporaryDirectory = test_support::TempDir;

// Records every delegate call with the thread it came on.
class RecordingDelegate final : public OSSystemExtensionRequestDelegate {
 public:
  struct Call {
    std::string what;  // "replace <existing url>", "approval", "finish <r>", "fail <text>"
    std::thread::id thread;
  };

  OSSystemExtensionReplacementAction replacementAnswer = OSSystemExtensionReplacementActionReplace;
  std::vector<Call> calls;

  OSSystemExtensionReplacementAction actionForReplacingExtension(
      OSSystemExtensionRequest&, const OSSystemExtensionProperties& existing,
      const OSSystemExtensionProperties&) override {
    calls.push_back({"replace " + existing.url, std::this_thread::get_id()});
    return replacementAnswer;
  }
  void requestNeedsUserApproval(OSSystemExtensionRequest&) override {
    calls.push_back({"approval", std::this_thread::get_id()});
  }
  void didFinishWithResult(OSSystemExtensionRequest&, OSSystemExtensionRequestResult r) override {
    calls.push_back({"finish " + std::to_string(static_cast<long>(r)), std::this_thread::get_id()});
  }
  void didFailWithError(OSSystemExtensionRequest&, const OSSystemExtensionError& e) override {
    calls.push_back({"fail " + e.localizedDescription, std::this_thread::get_id()});
    lastError = e;
  }

  bool answered() const {
    for (const Call& call : calls)
      if (call.what.starts_with("finish") || call.what.starts_with("fail")) return true;
    return false;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Call& call : calls) out.push_back(call.what);
    return out;
  }

  OSSystemExtensionError lastError;
};

}  // namespace testsupport
