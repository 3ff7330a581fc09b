// Helpers for tests that talk over the real service socket: a private services directory, a
// client that records what it is sent, and a fixture serving one service on its own transport.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/Identifiers.h"
#include "platform/Override.h"
#include "platform/xpc/NSXPC.h"
#include "platform/xpc/Transport.h"
#include "tests/support/TempDir.h"

namespace xpctest {

using namespace std::chrono_literals;

// The services directory is a fresh temporary directory for the object's life: installed for
// this process, and in $XPC_SERVICES_DIR for the programs a test starts (watchctl).
class TempServicesDir {
 public:
  TempServicesDir() : services_{dir_} { ::setenv("XPC_SERVICES_DIR", dir_.c_str(), 1); }
  ~TempServicesDir() { ::unsetenv("XPC_SERVICES_DIR"); }
  TempServicesDir(const TempServicesDir&) = delete;
  TempServicesDir& operator=(const TempServicesDir&) = delete;

  const std::string& root() const { return root_.string(); }
  const std::string& dir() const { return dir_; }
  std::string socket(std::string_view name = ipc::kMachServiceName) const {
    return dir_ + "/" + std::string(name);
  }

 private:
  const test_support::TempDir root_{"xpc-test"};
  const std::string dir_ = root_ / "xpc";
  xpc::ServicesDirectory services_;
  platform::ScopedOverride<xpc::ServicesDirectory> installed_{services_};
};

// A client connection that exports SystemExtensionsToApp and keeps every report.
class RecordingClient final : public ipc::SystemExtensionsToApp {
 public:
  struct Answer {
    std::optional<std::string> reply;
    std::optional<NSError> error;
  };

  explicit RecordingClient(std::shared_ptr<xpc::Transport> transport = xpc::Transport::system(),
                           std::string_view name = ipc::kMachServiceName) {
    connection_ = NSXPCConnection::initWithMachServiceName(name, transport);
    connection_->setExportedInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
    connection_->setExportedObject(this);
    connection_->setRemoteObjectInterface(
        NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
    connection_->setInterruptionHandler([this] { note(interrupted_); });
    connection_->setInvalidationHandler([this] { note(invalidated_); });
  }
  ~RecordingClient() override {
    release();
    connection_.reset();
  }

  void resume() { connection_->resume(); }

  // Sends the handshake and waits for its answer.
  Answer handshake(const std::string& message = "test", std::chrono::milliseconds timeout = 10s) {
    return call(false, message, timeout);
  }
  Answer procTable(std::chrono::milliseconds timeout = 10s) { return call(true, "test", timeout); }

  bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return documents_.size() >= count; });
  }
  bool waitForEnd(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return invalidated_; });
  }
  std::vector<std::string> documents() const {
    std::lock_guard lock(mutex_);
    return documents_;
  }
  bool interrupted() const {
    std::lock_guard lock(mutex_);
    return interrupted_;
  }
  bool invalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
  }

  // While stalled, the connection's thread sits in the first report it gets, so the client stops
  // reading from its socket.
  void stall() {
    std::lock_guard lock(mutex_);
    stalled_ = true;
  }
  void release() {
    std::lock_guard lock(mutex_);
    stalled_ = false;
    changed_.notify_all();
  }

  // Each report then takes this long to handle, so the socket fills up now and then.
  void slowDown(std::chrono::microseconds perReport) {
    std::lock_guard lock(mutex_);
    perReport_ = perReport;
  }

  NSXPCConnection& connection() { return *connection_; }

  void reportEndpointMessageWithMsg(const ipc::NSData& msg) override {
    std::unique_lock lock(mutex_);
    documents_.push_back(msg);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !stalled_; });
    if (perReport_.count()) {
      const auto pause = perReport_;
      lock.unlock();
      std::this_thread::sleep_for(pause);
    }
  }
  void reportNetworkMessageWithMsg(const ipc::NSData&) override {}
  void reportExecutableForPidWithMsg(const ipc::NSData&) override {}

 private:
  Answer call(bool table, const std::string& message, std::chrono::milliseconds timeout) {
    struct Shared {
      std::mutex mutex;
      std::condition_variable done;
      Answer answer;
      bool finished = false;
    };
    auto shared = std::make_shared<Shared>();
    auto finish = [shared](Answer answer) {
      std::lock_guard lock(shared->mutex);
      if (shared->finished) return;
      shared->finished = true;
      shared->answer = std::move(answer);
      shared->done.notify_all();
    };
    auto proxy = connection_->remoteObjectProxyWithErrorHandler([finish](const NSError& error) {
      finish(Answer{std::nullopt, error});
    });
    auto onReply = [finish](const std::string& reply) { finish(Answer{reply, std::nullopt}); };
    if (table) {
      proxy->establishConnectionAndGetProcTableWithMessage(message, onReply);
    } else {
      proxy->establishConnection2WithMessage(message, onReply);
    }
    std::unique_lock lock(shared->mutex);
    shared->done.wait_for(lock, timeout, [&] { return shared->finished; });
    return shared->answer;
  }

  void note(bool& flag) {
    std::lock_guard lock(mutex_);
    flag = true;
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> documents_;
  bool stalled_ = false;
  std::chrono::microseconds perReport_{0};
  bool interrupted_ = false;
  bool invalidated_ = false;
  std::shared_ptr<NSXPCConnection> connection_;
};

// Polls `condition` until it holds or `timeout` passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 10s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A listener at `Name` serving a `Service` on a transport of its own (made again by listen()
// with the options given), and recording clients of it.
template <class Service, const std::string_view& Name>
class ServiceFixture : public ::testing::Test {
 protected:
  std::unique_ptr<NSXPCListener> listen(xpc::SdBusTransport::Options options = {}) {
    transport = std::make_shared<xpc::SdBusTransport>(options);
    auto listener = NSXPCListener::initWithMachServiceName(Name, transport);
    listener->setDelegate(&service);
    listener->resume();
    return listener;
  }
  std::unique_ptr<RecordingClient> client() {
    auto c = std::make_unique<RecordingClient>(transport, Name);
    c->resume();
    return c;
  }

  TempServicesDir dir;
  Service service;
  std::shared_ptr<xpc::SdBusTransport> transport = std::make_shared<xpc::SdBusTransport>();
};

}  // namespace xpctest
