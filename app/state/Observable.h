// Observable objects: each one has a publisher that tells its observers a field is ABOUT to
// change (the value read inside an observer is still the old one). Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace app {

class ObjectWillChangePublisher {
 public:
  // Keeps an observer subscribed for as long as it lives.
  class Cancellable {
   public:
    Cancellable() = default;
    Cancellable(Cancellable&&) noexcept = default;
    Cancellable& operator=(Cancellable&& other) noexcept {
      cancel();
      state_ = std::move(other.state_);
      id_ = other.id_;
      return *this;
    }
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;
    ~Cancellable() { cancel(); }
    void cancel();

   private:
    friend class ObjectWillChangePublisher;
    struct State;
    Cancellable(std::weak_ptr<State> state, std::uint64_t id) : state_(std::move(state)), id_(id) {}
    std::weak_ptr<State> state_;
    std::uint64_t id_ = 0;
  };

  ObjectWillChangePublisher();
  ObjectWillChangePublisher(const ObjectWillChangePublisher&) = delete;
  ObjectWillChangePublisher& operator=(const ObjectWillChangePublisher&) = delete;

  [[nodiscard]] Cancellable sink(std::function<void()> observer);
  // Calls every observer subscribed now, in subscription order; one cancelled meanwhile is
  // skipped.
  void send();

 private:
  std::shared_ptr<Cancellable::State> state_;
};

struct ObjectWillChangePublisher::Cancellable::State {
  std::uint64_t next = 1;
  std::map<std::uint64_t, std::shared_ptr<std::function<void()>>> observers;
};

inline ObjectWillChangePublisher::ObjectWillChangePublisher()
    : state_(std::make_shared<Cancellable::State>()) {}

inline void ObjectWillChangePublisher::Cancellable::cancel() {
  if (auto state = state_.lock()) state->observers.erase(id_);
  state_.reset();
}

inline ObjectWillChangePublisher::Cancellable ObjectWillChangePublisher::sink(
    std::function<void()> observer) {
  const std::uint64_t id = state_->next++;
  state_->observers.emplace(id, std::make_shared<std::function<void()>>(std::move(observer)));
  return Cancellable(state_, id);
}

inline void ObjectWillChangePublisher::send() {
  std::vector<std::pair<std::uint64_t, std::shared_ptr<std::function<void()>>>> now(
      state_->observers.begin(), state_->observers.end());
  for (auto& [id, observer] : now) {
    if (state_->observers.contains(id)) (*observer)();
  }
}

}  // namespace app
