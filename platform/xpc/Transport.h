// What lies behind NSXPCListener and NSXPCConnection (platform/xpc/NSXPC.h, the layer above,
// which this one never includes): a transport publishes service names and opens client
// connections; each connection end is a Channel. The common state of a connection end
// (interfaces, exported object, handlers) lives in Channel (Channel.cpp); a transport supplies
// delivery. Both stand on the plain values of platform/xpc/Values.h.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"
#include "platform/xpc/Values.h"

namespace xpc {

using ErrorHandler = std::function<void(const NSError&)>;
// Shared so that many queued sends of one proxy carry one handler.
using SharedErrorHandler = std::shared_ptr<const ErrorHandler>;
// Takes the reply's one argument, a string or bytes.
using ReplyHandler = std::function<void(std::string)>;

NSError makeError(int code, std::string_view what);

class Channel : public std::enable_shared_from_this<Channel> {
 public:
  virtual ~Channel() = default;

  void setExportedInterface(const NSXPCInterface& interface);
  void setExportedObject(const ExportedObject& object);
  void setRemoteObjectInterface(const NSXPCInterface& interface);
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);
  std::optional<NSXPCInterface> remoteObjectInterface() const;

  bool isResumed() const;
  bool isInvalidated() const;

  // Checks that `method` belongs to the remote interface, then hands it to the transport. A
  // one-way call never blocks; a failure runs `onError` on the transport's thread.
  // `argument` is not null.
  void send(const ipc::ProtocolMethod& method, Payload argument, SharedErrorHandler onError);
  // The same, for bytes not yet shared: they are copied once the call is known to go.
  void send(const ipc::ProtocolMethod& method, const ipc::NSData& argument,
            SharedErrorHandler onError);
  void call(const ipc::ProtocolMethod& method, const std::string& argument, ReplyHandler reply,
            SharedErrorHandler onError);

  virtual void resume() = 0;
  // Ends the connection and runs the invalidation handler.
  virtual void invalidate() = 0;
  // The connection object is gone: close without running any handler.
  virtual void release() = 0;
  virtual bool remoteConformsTo(std::string_view protocolName) const;
  virtual PeerCredentials peerCredentials() const { return {}; }
  // While an exported object's method runs on this thread: the channel the call came over.
  static const Channel* current();

 protected:
  virtual void doSend(const ipc::ProtocolMethod& method, Payload argument,
                      SharedErrorHandler onError) = 0;
  virtual void doCall(const ipc::ProtocolMethod& method, const std::string& argument,
                      ReplyHandler reply, SharedErrorHandler onError) = 0;
  // Runs a proxy's error handler where the transport runs handlers.
  virtual void reportError(SharedErrorHandler onError, NSError error) = 0;

  // Whether `method` may be sent one way to the remote interface; if not, `onError` runs.
  bool sendable(const ipc::ProtocolMethod& method, SharedErrorHandler& onError);
  // Returns false when the channel was already resumed.
  bool markResumed();
  // Handlers of a connection that was invalidated or released never run again.
  void fireInterruption();
  void fireInvalidation();
  void dropHandlers();

  struct Incoming {
    const ipc::ProtocolMethod* method = nullptr;  // set when the call can be delivered
    std::string_view errorName;                   // D-Bus error name otherwise
    std::string errorMessage;
  };
  // Finds the exported method that an incoming call names by wire interface and member.
  Incoming lookupExported(std::string_view wireInterface, std::string_view member) const;
  // Calls the exported object. For a method with a reply, `reply` is called at most once, on
  // whatever thread the object answers.
  void invoke(const ipc::ProtocolMethod& method, std::string argument, ReplyHandler reply);

 private:
  mutable std::mutex mutex_;
  std::optional<NSXPCInterface> exportedInterface_;
  ExportedObject exportedObject_;
  std::optional<NSXPCInterface> remoteInterface_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
  bool resumed_ = false;
  bool invalidated_ = false;
};

// A published service name; destroying it stops serving and invalidates its connections.
class Service {
 public:
  virtual ~Service() = default;
  // Serves a socket that is already connected (one end of a socket pair, say) as if it had been
  // accepted, with the same checks. False when the transport has no sockets.
  virtual bool adopt(platform::UniqueFd) { return false; }
};

// Runs on the transport's thread when a client sends its first message; true accepts.
using AcceptHandler = std::function<bool(const std::shared_ptr<Channel>&)>;

class Transport {
 public:
  virtual ~Transport() = default;
  // Null when the name cannot be published (the reason is logged).
  virtual std::unique_ptr<Service> listen(std::string_view name, AcceptHandler accept) = 0;
  virtual std::shared_ptr<Channel> connect(std::string_view name) = 0;

  // The process-wide sd-bus transport with default options.
  static std::shared_ptr<Transport> system();
};

// D-Bus peer-to-peer over Unix stream sockets, one per service name under servicesDirectory().
class SdBusTransport final : public Transport {
 public:
  struct Options {
    // Outgoing report bytes a connection may have waiting; a send beyond it fails and ends the
    // connection, so a client that stops reading is dropped.
    std::size_t maxQueuedBytes = std::size_t{16} << 20;
    // Replies (the process table) waiting to be handed to sd-bus, counted apart from reports;
    // one beyond it ends the connection. The default lets through the largest reply D-Bus can
    // carry (an array of 64 MiB).
    std::size_t maxQueuedReplyBytes = (std::size_t{64} << 20) + 4096;
    // Connections a listener serves at once; more are closed on arrival.
    std::size_t maxConnections = 64;
    // Besides root, peers whose primary or supplementary group this is may connect. Defaults to
    // the build-time group, when one is configured and exists.
    std::optional<gid_t> allowedGroup = defaultAllowedGroup();
    // The largest message a client may send; the protocol's calls carry a short string. A
    // larger one ends the connection before sd-bus allocates room for it.
    std::size_t maxIncomingMessage = 4096;
    // Reply-bearing calls of one connection waiting for their answers; more are answered at
    // once with an error (org.freedesktop.DBus.Error.LimitsExceeded).
    std::size_t maxOutstandingCalls = 16;
    // A client that has not completed the D-Bus handshake by then is hung up on.
    std::chrono::milliseconds authTimeout{3000};
    // While this many bytes of replies wait to be written, nothing more is read from the client:
    // a client that never reads its answers stops being served instead of growing our memory.
    std::size_t replyBacklog = std::size_t{1} << 20;
    // How reports reach the socket (see platform/xpc/ReportWriter.h for the figures of both).
    enum class ReportPath { batched, plain } reportPath = ReportPath::batched;
  };

  SdBusTransport() : SdBusTransport(Options{}) {}
  explicit SdBusTransport(Options options) : options_(options) {}

  std::unique_ptr<Service> listen(std::string_view name, AcceptHandler accept) override;
  std::shared_ptr<Channel> connect(std::string_view name) override;

  const Options& options() const { return options_; }

  static std::optional<gid_t> defaultAllowedGroup();

 private:
  Options options_;
};

// Where the services' sockets are. A program's main installs the directory its setting names
// (XPC_SERVICES_DIR) with platform::ScopedOverride<xpc::ServicesDirectory>; tests install their
// own. With none installed, the system's: kDefault.
struct ServicesDirectory {
  static constexpr const char* kFacility = "services directory";
  static constexpr std::string_view kDefault = "/run/xpc";
  // The directory a setting names: the setting when set and not empty, otherwise kDefault.
  static ServicesDirectory fromSetting(const char* setting);

  std::string path;
};

// The installed services directory's path.
std::string servicesDirectory();
// The socket of a service; empty when the name cannot be a file name.
std::string socketPathForService(std::string_view name);

// The error a client connection ends with when its socket is served by a process that is not
// root (nor the client's own user): nothing it says is trusted.
inline constexpr int kUntrustedServer = EKEYREJECTED;

// Accounting charge of one queued send besides its bytes: the bookkeeping around it (queue slot,
// error handler, allocator headers), so that the limit bounds memory and empty payloads count.
inline constexpr std::size_t kQueuedSendOverhead = 384;

// The largest byte array one D-Bus message carries (the protocol's array limit, 64 MiB).
inline constexpr std::size_t kMaxByteArray = std::size_t{1} << 26;

}  // namespace xpc
