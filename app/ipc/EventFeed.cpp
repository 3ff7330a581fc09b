#include "app/ipc/EventFeed.h"

#include "ipc/Identifiers.h"

namespace app {

std::string accessDeniedAdvice() {
  const std::string group(ipc::kAllowedClientGroup);
  if (group.empty()) return "Access denied: only root may read this agent's events.";
  return "Access denied: only root and members of the group \"" + group +
         "\" may read the agent's events. Join it with \"sudo adduser $USER " + group +
         "\", then log out and in again.";
}

EventFeed::EventFeed(std::string serviceName, std::shared_ptr<EventInbox> inbox,
                     std::chrono::milliseconds retryAfter)
    : serviceName_(std::move(serviceName)), inbox_(std::move(inbox)), retryAfter_(retryAfter) {
  retry_.setSingleShot(true);
  QObject::connect(&retry_, &QTimer::timeout, [this] { connect(); });
}

EventFeed::~EventFeed() {
  retry_.stop();
  session_.reset();
}

void EventFeed::start() {
  if (state_ == State::idle) connect();
}

void EventFeed::stop() {
  retry_.stop();
  session_.reset();
  setState(State::idle, "");
}

void EventFeed::setSubscription(ipc::Subscription subscription) {
  if (subscription == subscription_) return;
  subscription_ = std::move(subscription);
  if (session_ && state_ == State::live) session_->subscribe(subscription_);
}

void EventFeed::connect() {
  session_.reset();
  setState(State::connecting, "Connecting to the agent\u2026");
  AgentSession::Handlers handlers;
  handlers.document = [inbox = inbox_](const ipc::NSData& document) {
    auto row = eventRowFromDocument(
        QByteArray::fromRawData(document.data(), static_cast<qsizetype>(document.size())));
    if (row)
      inbox->put(std::move(*row));
    else
      inbox->countUnreadable();
  };
  handlers.established = [this] {
    if (subscription_ != ipc::Subscription{}) session_->subscribe(subscription_);
    setState(State::live, "Receiving events from the agent.");
  };
  handlers.ended = [this](const AgentUnreachable& why) { ended(why); };
  session_ = AgentSession::open(serviceName_, std::move(handlers));
}

void EventFeed::ended(const AgentUnreachable& why) {
  session_.reset();
  const std::string again =
      " Trying again every " +
      QString::number(static_cast<double>(retryAfter_.count()) / 1000.0).toStdString() + " s.";
  switch (why.reason) {
    case AgentUnreachable::Reason::notRunning:
      setState(State::notRunning,
               "The agent is not running: install it under \u201CInstall agent\u201D." + again);
      break;
    case AgentUnreachable::Reason::accessDenied:
      setState(State::accessDenied, accessDeniedAdvice() + again);
      break;
    case AgentUnreachable::Reason::failed:
      setState(State::failed, why.description + again);
      break;
  }
  retry_.start(retryAfter_);
}

void EventFeed::setState(State state, std::string text) {
  objectWillChange_.send();
  state_ = state;
  stateText_ = std::move(text);
}

}  // namespace app

namespace app {

EventMonitor::EventMonitor(std::string serviceName, std::size_t capacity)
    : inbox_(std::make_shared<EventInbox>(capacity)),
      feed_(std::move(serviceName), inbox_),
      model_(capacity) {}

std::size_t EventMonitor::drain() {
  if (paused_) return 0;
  std::vector<EventRow> batch = inbox_->take();
  const std::size_t count = batch.size();
  model_.append(std::move(batch));
  return count;
}

}  // namespace app
