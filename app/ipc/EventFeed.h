// Keeps the application connected to the agent's event stream: opens a session, puts every
// document it receives into an inbox as an event row, and when the agent cannot be reached or
// goes away, says why and tries again after a pause. Main thread only, apart from the inbox.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>

#include "app/ipc/AgentSession.h"
#include "app/state/EventInbox.h"
#include "app/state/Observable.h"

namespace app {

class EventFeed {
 public:
  enum class State { idle, connecting, live, notRunning, accessDenied, failed };

  EventFeed(std::string serviceName, std::shared_ptr<EventInbox> inbox,
            std::chrono::milliseconds retryAfter = std::chrono::seconds(2));
  ~EventFeed();
  EventFeed(const EventFeed&) = delete;
  EventFeed& operator=(const EventFeed&) = delete;

  void start();
  void stop();
  // What the agent is asked to send, now and on every later connection; everything until set.
  void setSubscription(ipc::Subscription subscription);
  const ipc::Subscription& subscription() const { return subscription_; }

  State state() const { return state_; }
  // What the events view says about the connection.
  const std::string& stateText() const { return stateText_; }
  const std::shared_ptr<EventInbox>& inbox() const { return inbox_; }
  ObjectWillChangePublisher& objectWillChange() { return objectWillChange_; }

 private:
  void connect();
  void ended(const AgentUnreachable& why);
  void setState(State state, std::string text);

  std::string serviceName_;
  std::shared_ptr<EventInbox> inbox_;
  std::chrono::milliseconds retryAfter_;
  ObjectWillChangePublisher objectWillChange_;
  State state_ = State::idle;
  std::string stateText_;
  ipc::Subscription subscription_;
  std::unique_ptr<AgentSession> session_;
  QTimer retry_;
};

// The sentence for a user the agent's service turned away: who may connect and how to join.
std::string accessDeniedAdvice();

}  // namespace app

#include "app/state/EventTableModel.h"

namespace app {

// A window's events: the feed, the rows waiting in its inbox and the table they go to. Outlives
// the events view, so the stream and the table go on while another screen is shown.
class EventMonitor {
 public:
  explicit EventMonitor(std::string serviceName,
                        std::size_t capacity = EventTableModel::kDefaultCapacity);

  EventFeed& feed() { return feed_; }
  EventTableModel& model() { return model_; }
  std::uint64_t received() const { return inbox_->received(); }

  // While paused the table stands still; the newest rows wait, up to the table's capacity.
  void setPaused(bool paused) { paused_ = paused; }
  bool paused() const { return paused_; }
  // Moves the waiting rows into the table, in one batch; returns how many.
  std::size_t drain();

 private:
  std::shared_ptr<EventInbox> inbox_;
  EventFeed feed_;
  EventTableModel model_;
  bool paused_ = false;
};

}  // namespace app
