#include "platform/system_extensions/SystemExtensions.h"

#include <utility>

#include "platform/Override.h"

void dispatch_async(const dispatch_queue_t& queue, std::function<void()> block) {
  if (queue) queue->async(std::move(block));
}

OSSystemExtensionRequest::OSSystemExtensionRequest(Action action, std::string identifier,
                                                   dispatch_queue_t queue)
    : action_(action), identifier_(std::move(identifier)), queue_(std::move(queue)) {}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::activationRequestForExtension(
    std::string identifier, dispatch_queue_t queue) {
  return std::make_shared<OSSystemExtensionRequest>(Action::activate, std::move(identifier),
                                                    std::move(queue));
}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::deactivationRequestForExtension(
    std::string identifier, dispatch_queue_t queue) {
  return std::make_shared<OSSystemExtensionRequest>(Action::deactivate, std::move(identifier),
                                                    std::move(queue));
}

void OSSystemExtensionRequest::setDelegate(OSSystemExtensionRequestDelegate* delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

OSSystemExtensionRequestDelegate* OSSystemExtensionRequest::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

OSSystemExtensionRequestSession::OSSystemExtensionRequestSession(
    std::shared_ptr<OSSystemExtensionRequest> request)
    : request_(std::move(request)) {}

OSSystemExtensionRequestSession::~OSSystemExtensionRequestSession() {
  if (!answered())
    fail({OSSystemExtensionErrorCode::unknown, "The request ended without an answer."});
}

bool OSSystemExtensionRequestSession::answered() const {
  std::lock_guard lock(mutex_);
  return answered_;
}

bool OSSystemExtensionRequestSession::claimAnswer() {
  std::lock_guard lock(mutex_);
  if (answered_) return false;
  answered_ = true;
  return true;
}

void OSSystemExtensionRequestSession::deliver(
    std::function<void(OSSystemExtensionRequestDelegate&, OSSystemExtensionRequest&)> call) {
  // The block holds the request, not the session, so it can outlive the backend's work.
  dispatch_async(request_->queue(), [request = request_, call = std::move(call)] {
    if (OSSystemExtensionRequestDelegate* delegate = request->delegate()) call(*delegate, *request);
  });
}

std::future<OSSystemExtensionReplacementAction>
OSSystemExtensionRequestSession::actionForReplacingExtension(OSSystemExtensionProperties existing,
                                                             OSSystemExtensionProperties ext) {
  // A promise that is dropped unanswered (queue gone) must still release the waiting backend:
  // the guard answers Cancel from its destructor.
  struct Answer {
    std::promise<OSSystemExtensionReplacementAction> promise;
    bool set = false;
    void give(OSSystemExtensionReplacementAction action) {
      if (set) return;
      set = true;
      promise.set_value(action);
    }
    ~Answer() { give(OSSystemExtensionReplacementActionCancel); }
  };
  auto answer = std::make_shared<Answer>();
  auto future = answer->promise.get_future();
  if (answered()) {
    answer->give(OSSystemExtensionReplacementActionCancel);
    return future;
  }
  dispatch_async(request_->queue(), [request = request_, answer, existing = std::move(existing),
                                     ext = std::move(ext)] {
    OSSystemExtensionRequestDelegate* delegate = request->delegate();
    answer->give(delegate ? delegate->actionForReplacingExtension(*request, existing, ext)
                          : OSSystemExtensionReplacementActionCancel);
  });
  return future;
}

void OSSystemExtensionRequestSession::requestNeedsUserApproval() {
  if (answered()) return;
  deliver([](OSSystemExtensionRequestDelegate& delegate, OSSystemExtensionRequest& request) {
    delegate.requestNeedsUserApproval(request);
  });
}

void OSSystemExtensionRequestSession::finish(OSSystemExtensionRequestResult result) {
  if (!claimAnswer()) return;
  deliver([result](OSSystemExtensionRequestDelegate& delegate, OSSystemExtensionRequest& request) {
    delegate.didFinishWithResult(request, result);
  });
}

void OSSystemExtensionRequestSession::fail(OSSystemExtensionError error) {
  if (!claimAnswer()) return;
  deliver([error = std::move(error)](OSSystemExtensionRequestDelegate& delegate,
                                     OSSystemExtensionRequest& request) {
    delegate.didFailWithError(request, error);
  });
}

OSSystemExtensionManager& OSSystemExtensionManager::sharedManager() {
  static OSSystemExtensionManager manager;
  return manager;
}

void OSSystemExtensionManager::submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) {
  if (!request) return;
  auto session = std::make_shared<OSSystemExtensionRequestSession>(std::move(request));
  SystemExtensionBackend* backend = platform::Installed<SystemExtensionBackend>::find();
  if (!backend) {
    session->fail({OSSystemExtensionErrorCode::serviceUnavailable,
                   "No service is available to install or remove the agent."});
    return;
  }
  backend->submit(std::move(session));
}
