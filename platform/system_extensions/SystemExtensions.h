// Activation and deactivation of the application's system extension (the bundled agent), with
// the platform's names. A request names the extension and the queue its delegate is called on;
// the shared manager hands it to a backend that does the work (the real one installs and starts
// the agent, a fake one lets tests answer by hand).
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

namespace platform::dispatch {

// Runs blocks one after another, in the order they were posted, on one thread.
class Queue {
 public:
  virtual ~Queue() = default;
  virtual void async(std::function<void()> block) = 0;
};

}  // namespace platform::dispatch

using dispatch_queue_t = std::shared_ptr<platform::dispatch::Queue>;

// The application's main queue: blocks run on the main thread from its event loop. Blocks posted
// while no application object exists, or left when it is destroyed, are dropped without running.
dispatch_queue_t dispatch_get_main_queue();
void dispatch_async(const dispatch_queue_t& queue, std::function<void()> block);

enum OSSystemExtensionRequestResult : long {
  OSSystemExtensionRequestResultCompleted = 0,
  OSSystemExtensionRequestResultWillCompleteAfterReboot = 1,
};

enum OSSystemExtensionReplacementAction : long {
  OSSystemExtensionReplacementActionCancel = 0,
  OSSystemExtensionReplacementActionReplace = 1,
};

// Why a request failed. Values are ours; only the description is meant for people.
enum class OSSystemExtensionErrorCode : long {
  unknown = 1,
  extensionNotFound = 2,      // the bundled agent is missing, or nothing to remove
  authorizationRequired = 3,  // not privileged and no way to become so
  authorizationDenied = 4,    // the administrator prompt was refused or dismissed
  requestCanceled = 5,        // the delegate declined to replace a running agent
  startFailed = 6,
  stopFailed = 7,
  serviceUnavailable = 8,  // no backend, or the application is shutting down
};

struct OSSystemExtensionError {
  OSSystemExtensionErrorCode code = OSSystemExtensionErrorCode::unknown;
  std::string localizedDescription;
};

// What is known of one build of the extension: the running one or the one being activated.
struct OSSystemExtensionProperties {
  std::string url;  // path of the executable
  std::string bundleIdentifier;
  std::string bundleVersion;
  std::string bundleShortVersion;
};

class OSSystemExtensionRequest;

// Called on the request's queue: optionally the replacement question and the approval notice,
// then exactly one of the two answers.
class OSSystemExtensionRequestDelegate {
 public:
  virtual ~OSSystemExtensionRequestDelegate() = default;
  virtual OSSystemExtensionReplacementAction actionForReplacingExtension(
      OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
      const OSSystemExtensionProperties& ext) = 0;
  virtual void requestNeedsUserApproval(OSSystemExtensionRequest& request) = 0;
  virtual void didFinishWithResult(OSSystemExtensionRequest& request,
                                   OSSystemExtensionRequestResult result) = 0;
  virtual void didFailWithError(OSSystemExtensionRequest& request,
                                const OSSystemExtensionError& error) = 0;
};

class OSSystemExtensionRequest {
 public:
  enum class Action { activate, deactivate };

  static std::shared_ptr<OSSystemExtensionRequest> activationRequestForExtension(
      std::string identifier, dispatch_queue_t queue);
  static std::shared_ptr<OSSystemExtensionRequest> deactivationRequestForExtension(
      std::string identifier, dispatch_queue_t queue);

  // The delegate is not owned; it must outlive every call made on the request's queue.
  void setDelegate(OSSystemExtensionRequestDelegate* delegate);
  OSSystemExtensionRequestDelegate* delegate() const;

  Action action() const { return action_; }
  const std::string& identifier() const { return identifier_; }
  const dispatch_queue_t& queue() const { return queue_; }

  OSSystemExtensionRequest(Action action, std::string identifier, dispatch_queue_t queue);

 private:
  Action action_;
  std::string identifier_;
  dispatch_queue_t queue_;
  mutable std::mutex mutex_;
  OSSystemExtensionRequestDelegate* delegate_ = nullptr;  // guarded by mutex_
};

// One submitted request as a backend sees it, and the backend's only way back to the delegate.
// May be called from any thread; every call is delivered on the request's queue in call order.
// The protocol's order is kept here: questions are dropped once an answer was given, only the
// first answer counts, and a session dropped without an answer fails its request.
class OSSystemExtensionRequestSession {
 public:
  explicit OSSystemExtensionRequestSession(std::shared_ptr<OSSystemExtensionRequest> request);
  ~OSSystemExtensionRequestSession();
  OSSystemExtensionRequestSession(const OSSystemExtensionRequestSession&) = delete;
  OSSystemExtensionRequestSession& operator=(const OSSystemExtensionRequestSession&) = delete;

  OSSystemExtensionRequest& request() const { return *request_; }

  // The future becomes ready once the delegate answered; it holds Cancel when there is no
  // delegate, when an answer was already given, or when the queue dropped the question.
  std::future<OSSystemExtensionReplacementAction> actionForReplacingExtension(
      OSSystemExtensionProperties existing, OSSystemExtensionProperties ext);
  void requestNeedsUserApproval();
  void finish(OSSystemExtensionRequestResult result);
  void fail(OSSystemExtensionError error);

  bool answered() const;

 private:
  bool claimAnswer();
  void deliver(
      std::function<void(OSSystemExtensionRequestDelegate&, OSSystemExtensionRequest&)> call);

  std::shared_ptr<OSSystemExtensionRequest> request_;
  mutable std::mutex mutex_;
  bool answered_ = false;  // guarded by mutex_
};

// Carries out requests. submit() must return at once; the work happens elsewhere. The one in use
// is installed with platform::ScopedOverride<SystemExtensionBackend> (the application's main
// installs the real one; tests install fakes); without one every request fails. Its owner
// destroys it after the override has ended, which lets it finish the work it holds first.
class SystemExtensionBackend {
 public:
  static constexpr const char* kFacility = "system extension backend";
  virtual ~SystemExtensionBackend() = default;
  virtual void submit(std::shared_ptr<OSSystemExtensionRequestSession> session) = 0;
};

class OSSystemExtensionManager {
 public:
  static OSSystemExtensionManager& sharedManager();

  // Hands the request to the installed backend; without one it fails.
  void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request);

 private:
  OSSystemExtensionManager() = default;
};
