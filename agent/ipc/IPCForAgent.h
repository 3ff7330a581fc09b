// The agent's end of its service: publishes the service name, accepts every client connection,
// keeps the open ones, pushes each converted event to those that want it and answers the client
// calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "agent/model/EsMessage.h"
#include "platform/xpc/NSXPC.h"
#include "shared/ipc/Protocols.h"
#include "shared/ipc/Subscription.h"

namespace agent {

class IPCForAgent final : public NSXPCListenerDelegate, public ipc::AppToSystemExtensions {
 public:
  using Connection = std::shared_ptr<NSXPCConnection>;

  // The open connections, compared by identity. Every operation takes the lock for itself
  // alone, so threads that insert, remove or copy exclude one another only briefly.
  class ConnectionSet {
   public:
    void insert(const Connection& connection);
    // Removing a connection that is not in the set has no effect.
    void erase(const Connection& connection);
    bool empty() const;
    bool contains(const Connection& connection) const;
    std::size_t size() const;
    // A snapshot to walk without the lock.
    std::vector<Connection> copy() const;

    // The proxy a connection's reports go through, with the error handler that forgets the
    // connection: made once per connection (the first time `make` is asked for it), not once
    // per event. Null once the connection has left the set.
    using Proxy = std::shared_ptr<NSXPCRemoteObjectProxy>;
    // What a connection asked for; null: everything.
    using Filter = std::shared_ptr<const ipc::Subscription>;
    struct Member {
      Connection connection;
      Proxy reporter;  // null until made
      Filter filter;
    };
    using Members = std::shared_ptr<const std::vector<Member>>;
    // A snapshot with each connection's proxy as far as made. Made again when the set changes,
    // not for every broadcast; never null.
    Members members() const;
    // Keeps `reporter` for `connection` unless one is kept already; returns the one kept (or
    // `reporter` when the connection has left the set).
    Proxy keepReporter(const Connection& connection, Proxy reporter);

    // Gives the connection whose call is running on this thread `subscription`; false when the
    // call did not come over a connection of the set. Waits for the broadcasts under way, so
    // that everything sent under the earlier filter is queued before the call's answer.
    bool subscribeCurrent(ipc::Subscription subscription);
    // Held while a broadcast sends to the members of its snapshot.
    std::shared_lock<std::shared_mutex> sendingTurn() const { return std::shared_lock(sending_); }
    // Whether any connection wants events of this type: when none does, an event need not even
    // be converted. Lock-free.
    bool wantsEventType(std::uint32_t eventType) const;
    // Runs after the kinds wanted have changed, on the thread that changed them, outside the
    // set's lock; it reads wantsEventType itself, so a late run sees the newest answer. Set
    // before any connection arrives.
    void setWantedKindsChanged(std::function<void()> handler) {
      wantedChanged_ = std::move(handler);
    }

   private:
    struct State {
      Proxy reporter;
      Filter filter;
    };
    // Under the lock, after a change of members or filters; true when the kinds wanted changed.
    bool recomputeWanted();
    // Under the lock, after a change of members, proxies or filters: the new snapshot, and the
    // old one in `old`, to be released after the lock.
    void refreshMembers(Members& old);
    void tellWantedChanged() const {
      if (wantedChanged_) wantedChanged_();
    }

    mutable std::mutex mutex_;
    mutable std::shared_mutex sending_;  // taken before mutex_, never inside it
    std::map<Connection, State> connections_;
    Members members_ = std::make_shared<const std::vector<Member>>();
    // Bit i: some connection wants kEventKindNames[i]; the bit past the table: some connection
    // wants every type, those outside the table too.
    std::atomic<std::uint32_t> wanted_{0};
    std::function<void()> wantedChanged_;
  };

  // The one instance, serving over the system transport.
  static IPCForAgent& shared();

  // An instance serving over `transport`.
  explicit IPCForAgent(std::shared_ptr<xpc::Transport> transport);
  ~IPCForAgent() override;
  IPCForAgent(const IPCForAgent&) = delete;
  IPCForAgent& operator=(const IPCForAgent&) = delete;

  void startEndpointListener();
  // Whether the service is published (false when startEndpointListener could not publish it).
  bool isListening() const;
  // Stops serving: every connection is closed and the socket removed. Main thread, at the end.
  void stopEndpointListener();

  bool shouldAcceptNewConnection(NSXPCListener& listener,
                                 std::shared_ptr<NSXPCConnection> connection) override;

  // Sends the event's JSON document to every open connection that wants it (encoded once, and
  // not at all when none does); callable from any thread and never waits for a client.
  void broadcastEndpointMessage(const model::EsMessage& message);

  void establishConnection2WithMessage(const ipc::NSString& message,
                                       std::function<void(const ipc::NSString&)> reply) override;
  void establishConnectionAndGetProcTableWithMessage(
      const ipc::NSString& message, std::function<void(const ipc::NSData&)> reply) override;
  void subscribeToEventsWithFilter(const ipc::NSString& filter,
                                   std::function<void(const ipc::NSString&)> reply) override;

  ConnectionSet currentConnections;

 private:
  std::shared_ptr<xpc::Transport> transport_;
  std::unique_ptr<NSXPCListener> listener;
};

}  // namespace agent
