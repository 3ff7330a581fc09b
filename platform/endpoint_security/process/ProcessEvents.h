// The process events every process source hands to its client: exec, fork and exit, each owning
// the images and blocks its message points to.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/endpoint_security/client/Source.h"
#include "platform/endpoint_security/process/ProcessImage.h"

namespace platform::es {

class ExecEvent final : public PendingEvent {
 public:
  // `process` is the image before the exec, `target` the new one; the argument and environment
  // blocks are the target's.
  ExecEvent(std::uint64_t monotonicNs, timespec time, ProcessImage process, ProcessImage target);
  std::size_t bytes() const override;
  void fill(es_message_t& message, pid_t self) override;

 private:
  ProcessImage process_;
  ProcessImage target_;
  ProcessView processView_;
  ProcessView targetView_;
  std::vector<es_string_token_t> args_;
  std::vector<es_string_token_t> envs_;
};

class ForkEvent final : public PendingEvent {
 public:
  ForkEvent(std::uint64_t monotonicNs, timespec time, ProcessImage parent, ProcessImage child);
  void fill(es_message_t& message, pid_t self) override;

 private:
  ProcessImage parent_;
  ProcessImage child_;
  ProcessView parentView_;
  ProcessView childView_;
};

class ExitEvent final : public PendingEvent {
 public:
  ExitEvent(std::uint64_t monotonicNs, timespec time, ProcessImage process, int status);
  void fill(es_message_t& message, pid_t self) override;

 private:
  ProcessImage process_;
  int status_;
  ProcessView view_;
};

}  // namespace platform::es
