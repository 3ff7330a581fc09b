#include "platform/endpoint_security/process/ProcessEvents.h"

#include "platform/procfs/ProcFs.h"

namespace platform::es {
namespace {

// A list longer than this (a flood's huge environment) is not kept for the next exec.
constexpr std::size_t kKeptTokens = 4096;

void tokensOf(const std::shared_ptr<const std::string>& block,
              std::vector<es_string_token_t>& out) {
  out.clear();
  if (!block) return;
  // Cut into a list the thread keeps, then copied into one exactly sized: an environment of a
  // few dozen entries would otherwise regrow the event's list for each doubling, on every exec.
  thread_local std::vector<es_string_token_t> cut;
  cut.clear();
  forEachNulEntry(*block, [&](std::string_view entry) {
    cut.push_back({entry.size(), entry.data()});
  });
  out.assign(cut.begin(), cut.end());
  if (cut.capacity() > kKeptTokens) std::vector<es_string_token_t>().swap(cut);
}

std::size_t blockBytes(const std::shared_ptr<const std::string>& block) {
  return block ? block->size() : 0;
}

}  // namespace

ExecEvent::ExecEvent(std::uint64_t monotonicNs, timespec time, ProcessImage process,
                     ProcessImage target)
    : PendingEvent(ES_EVENT_TYPE_NOTIFY_EXEC, monotonicNs, time),
      process_(std::move(process)),
      target_(std::move(target)) {}

std::size_t ExecEvent::bytes() const {
  return sizeof *this + blockBytes(target_.args) + blockBytes(target_.envs);
}

void ExecEvent::fill(es_message_t& message, pid_t self) {
  processView_.fill(process_, self);
  targetView_.fill(target_, self);
  tokensOf(target_.args, args_);
  tokensOf(target_.envs, envs_);
  message.process = &processView_.process;
  message.event.exec = es_event_exec_t{};
  message.event.exec.target = &targetView_.process;
  message.event.exec.args = args_.data();
  message.event.exec.arg_count = static_cast<std::uint32_t>(args_.size());
  message.event.exec.envs = envs_.data();
  message.event.exec.env_count = static_cast<std::uint32_t>(envs_.size());
}

ForkEvent::ForkEvent(std::uint64_t monotonicNs, timespec time, ProcessImage parent,
                     ProcessImage child)
    : PendingEvent(ES_EVENT_TYPE_NOTIFY_FORK, monotonicNs, time),
      parent_(std::move(parent)),
      child_(std::move(child)) {}

void ForkEvent::fill(es_message_t& message, pid_t self) {
  parentView_.fill(parent_, self);
  childView_.fill(child_, self);
  message.process = &parentView_.process;
  message.event.fork.child = &childView_.process;
}

ExitEvent::ExitEvent(std::uint64_t monotonicNs, timespec time, ProcessImage process, int status)
    : PendingEvent(ES_EVENT_TYPE_NOTIFY_EXIT, monotonicNs, time),
      process_(std::move(process)),
      status_(status) {}

void ExitEvent::fill(es_message_t& message, pid_t self) {
  view_.fill(process_, self);
  message.process = &view_.process;
  message.event.exit.stat = status_;
}

}  // namespace platform::es
