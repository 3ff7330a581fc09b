// What the window says about the request in progress or the last one: that it runs, that an
// administrator has to approve it and what happens then, why it failed, or that it is done.
// Written by the installer's delegate, read by the Install and Remove panes. Main thread only.
#pragma once

#include <string>

#include "app/state/Observable.h"

namespace app {

class RequestActivity {
 public:
  enum class Operation { none, installing, uninstalling };
  enum class Phase { idle, working, needsApproval, failed, completed };

  static RequestActivity& shared();

  RequestActivity() = default;
  RequestActivity(const RequestActivity&) = delete;
  RequestActivity& operator=(const RequestActivity&) = delete;

  Operation operation() const { return operation_; }
  Phase phase() const { return phase_; }
  const std::string& message() const { return message_; }

  void set(Operation operation, Phase phase, std::string message) {
    objectWillChange_.send();
    operation_ = operation;
    phase_ = phase;
    message_ = std::move(message);
  }

  ObjectWillChangePublisher& objectWillChange() { return objectWillChange_; }

 private:
  ObjectWillChangePublisher objectWillChange_;
  Operation operation_ = Operation::none;
  Phase phase_ = Phase::idle;
  std::string message_;
};

}  // namespace app
