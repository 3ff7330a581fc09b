#include "platform/xpc/MemoryTransport.h"

#include <cerrno>

#include "ipc/Identifiers.h"

namespace xpc {

// The listener's end of one in-memory connection.
class MemoryChannel final : public Channel {
 public:
  explicit MemoryChannel(pid_t pid) : pid_(pid) {}

  void resume() override { markResumed(); }
  void invalidate() override {
    {
      std::lock_guard lock(stateMutex_);
      gone_ = true;
    }
    fireInvalidation();
  }
  void release() override {
    {
      std::lock_guard lock(stateMutex_);
      released_ = true;
    }
    dropHandlers();
  }
  bool remoteConformsTo(std::string_view protocolName) const override {
    std::lock_guard lock(stateMutex_);
    if (protocolName == ipc::SystemExtensionsToApp::name && !implementsReports_) return false;
    return Channel::remoteConformsTo(protocolName);
  }
  PeerCredentials peerCredentials() const override { return {pid_, 0, 0}; }

  void interrupt() { fireInterruption(); }

  std::optional<std::string> deliver(std::string_view member, const std::string& argument) {
    {
      std::lock_guard lock(stateMutex_);
      if (gone_ || released_) return std::nullopt;
    }
    if (!isResumed()) return std::nullopt;
    std::string wire(ipc::kAppBundleIdentifier);
    wire += '.';
    wire += ipc::AppToSystemExtensions::name;
    const Incoming incoming = lookupExported(wire, member);
    if (!incoming.method) return std::nullopt;
    auto result = std::make_shared<std::optional<std::string>>();
    invoke(*incoming.method, argument, [result](std::string value) { *result = std::move(value); });
    return *result;
  }

  // Test controls.
  mutable std::mutex stateMutex_;
  std::vector<MemoryTransport::Peer::Report> reports_;
  std::function<void(const MemoryTransport::Peer::Report&)> hook_;
  bool failSends_ = false;
  bool implementsReports_ = true;
  bool handedOver_ = false;
  bool accepted_ = false;
  bool gone_ = false;
  bool released_ = false;

 protected:
  void doSend(const ipc::ProtocolMethod& method, Payload argument,
              SharedErrorHandler onError) override {
    std::function<void(const MemoryTransport::Peer::Report&)> hook;
    MemoryTransport::Peer::Report report{std::string(method.member), *argument};
    int failure = 0;
    {
      std::lock_guard lock(stateMutex_);
      if (released_) {
        failure = ENOTCONN;
      } else if (failSends_ || gone_) {
        failure = EPIPE;
      } else {
        reports_.push_back(report);
        hook = hook_;
      }
    }
    if (failure) {
      reportError(std::move(onError), makeError(failure, "The report could not be sent"));
      return;
    }
    if (hook) hook(report);
  }
  void doCall(const ipc::ProtocolMethod&, const std::string&, ReplyHandler,
              SharedErrorHandler onError) override {
    reportError(std::move(onError), makeError(ENOTSUP, "Clients take no calls here"));
  }
  void reportError(SharedErrorHandler onError, NSError error) override {
    if (onError && *onError) (*onError)(error);
  }

 private:
  pid_t pid_;
};

// Connections accepted through one published name, invalidated when it is withdrawn.
struct AcceptedChannels {
  std::mutex mutex;
  std::vector<std::weak_ptr<Channel>> channels;
};

class MemoryService final : public Service {
 public:
  MemoryService(MemoryTransport& transport, std::string name,
                std::shared_ptr<const AcceptHandler> accept,
                std::shared_ptr<AcceptedChannels> accepted)
      : transport_(transport),
        name_(std::move(name)),
        accept_(std::move(accept)),
        accepted_(std::move(accepted)) {}
  ~MemoryService() override {
    {
      std::lock_guard lock(transport_.mutex_);
      auto it = transport_.listeners_.find(name_);
      if (it != transport_.listeners_.end() && it->second == accept_) {
        transport_.listeners_.erase(it);
      }
    }
    std::vector<std::weak_ptr<Channel>> channels;
    {
      std::lock_guard lock(accepted_->mutex);
      channels.swap(accepted_->channels);
    }
    for (auto& weak : channels) {
      if (auto channel = weak.lock()) channel->invalidate();
    }
  }

 private:
  MemoryTransport& transport_;
  std::string name_;
  std::shared_ptr<const AcceptHandler> accept_;
  std::shared_ptr<AcceptedChannels> accepted_;
};

std::unique_ptr<Service> MemoryTransport::listen(std::string_view name, AcceptHandler accept) {
  auto accepted = std::make_shared<AcceptedChannels>();
  auto handler = std::make_shared<const AcceptHandler>(
      [accept = std::move(accept), accepted](const std::shared_ptr<Channel>& channel) {
        {
          std::lock_guard lock(accepted->mutex);
          accepted->channels.push_back(channel);
        }
        return accept && accept(channel);
      });
  std::lock_guard lock(mutex_);
  auto [it, inserted] = listeners_.emplace(std::string(name), handler);
  if (!inserted) return nullptr;  // the name is taken
  return std::make_unique<MemoryService>(*this, std::string(name), handler, std::move(accepted));
}

std::shared_ptr<Channel> MemoryTransport::connect(std::string_view) {
  auto channel = std::make_shared<MemoryChannel>(-1);
  channel->invalidate();
  return channel;
}

std::shared_ptr<const AcceptHandler> MemoryTransport::listenerFor(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = listeners_.find(name);
  return it == listeners_.end() ? nullptr : it->second;
}

std::shared_ptr<MemoryTransport::Peer> MemoryTransport::attach(std::string_view name) {
  pid_t pid;
  {
    std::lock_guard lock(mutex_);
    pid = nextPid_++;
  }
  return std::make_shared<Peer>(listenerFor(std::string(name)),
                                std::make_shared<MemoryChannel>(pid));
}

MemoryTransport::Peer::Peer(std::shared_ptr<const AcceptHandler> accept,
                            std::shared_ptr<MemoryChannel> channel)
    : accept_(std::move(accept)), channel_(std::move(channel)) {}

MemoryTransport::Peer::~Peer() = default;

std::optional<std::string> MemoryTransport::Peer::call(std::string_view member,
                                                       const std::string& argument) {
  bool handOver;
  {
    std::lock_guard lock(channel_->stateMutex_);
    handOver = !channel_->handedOver_ && !channel_->gone_;
    channel_->handedOver_ = true;
  }
  if (handOver) {
    const bool accepted = accept_ && *accept_ && (*accept_)(channel_);
    std::lock_guard lock(channel_->stateMutex_);
    channel_->accepted_ = accepted;
    if (!accepted) channel_->gone_ = true;
  }
  return channel_->deliver(member, argument);
}

std::vector<MemoryTransport::Peer::Report> MemoryTransport::Peer::reports() const {
  std::lock_guard lock(channel_->stateMutex_);
  return channel_->reports_;
}

std::vector<std::string> MemoryTransport::Peer::endpointMessages() const {
  std::vector<std::string> payloads;
  for (auto& report : reports()) {
    if (report.member == ipc::SystemExtensionsToApp::kReportEndpointMessageWithMsg.member) {
      payloads.push_back(report.payload);
    }
  }
  return payloads;
}

void MemoryTransport::Peer::failSends(bool fail) {
  std::lock_guard lock(channel_->stateMutex_);
  channel_->failSends_ = fail;
}

void MemoryTransport::Peer::setImplementsReports(bool implements) {
  std::lock_guard lock(channel_->stateMutex_);
  channel_->implementsReports_ = implements;
}

void MemoryTransport::Peer::onReport(std::function<void(const Report&)> hook) {
  std::lock_guard lock(channel_->stateMutex_);
  channel_->hook_ = std::move(hook);
}

void MemoryTransport::Peer::disconnect() {
  channel_->invalidate();
}

void MemoryTransport::Peer::interrupt() {
  channel_->interrupt();
}

pid_t MemoryTransport::Peer::processIdentifier() const {
  return channel_->peerCredentials().pid;
}

bool MemoryTransport::Peer::accepted() const {
  std::lock_guard lock(channel_->stateMutex_);
  return channel_->accepted_;
}

bool MemoryTransport::Peer::released() const {
  std::lock_guard lock(channel_->stateMutex_);
  return channel_->released_;
}

}  // namespace xpc
