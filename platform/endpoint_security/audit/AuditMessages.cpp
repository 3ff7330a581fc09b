#include "platform/endpoint_security/audit/AuditMessages.h"

#include <arpa/inet.h>
#include <pwd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/procfs/ProcFs.h"

namespace platform::es::audit {
namespace {

constexpr std::uint32_t kUnsetId = 0xffffffffu;

es_string_token_t tokenOf(const std::optional<std::string>& text) {
  return text ? es_string_token_t{text->size(), text->data()} : es_string_token_t{0, nullptr};
}

// The uid of the account `name`; none for a name the record may have cut, which would name
// another account than the one tried.
std::optional<uid_t> uidOfUser(const std::optional<std::string>& name) {
  if (!name || mayBeCutAccount(*name)) return std::nullopt;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwnam_r(name->c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return found->pw_uid;
}

// When the record was written, on the clock the process source keeps: records carry whole
// milliseconds, so the end of the record's millisecond, and never later than now (the record may
// have waited for the ones that complete its event).
std::uint64_t monotonicOf(const timespec& wall, std::uint64_t nowNs) {
  const std::int64_t wallNs = static_cast<std::int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec;
  if (wallNs <= 0) return nowNs;
  const std::int64_t at = wallNs + 999999 - monotonicWallClockNs();
  if (at <= 0) return nowNs;
  return std::min(static_cast<std::uint64_t>(at), nowNs);
}

ProcessImage imageOf(const Origin& origin, ProcessLookup& processes, std::uint64_t nowNs) {
  ProcessHint hint;
  hint.uid = origin.uid;
  hint.exe = origin.exe;
  return processes.find(origin.pid, monotonicOf(origin.time, nowNs), hint);
}

// What every audit message has: the process that wrote the record.
class AuditPending : public PendingEvent {
 public:
  AuditPending(es_event_type_t type, std::uint64_t nowNs, const Origin& origin,
               ProcessLookup& processes, std::size_t textBytes)
      : PendingEvent(type, nowNs, origin.time),
        image_(imageOf(origin, processes, nowNs)),
        bytes_(512 + textBytes) {}

  // Record values may be up to 8 KiB each: count them against the queue's bound.
  std::size_t bytes() const override { return bytes_; }

 protected:
  es_process_t* process(pid_t self) {
    view_.fill(image_, self);
    return &view_.process;
  }

 private:
  ProcessImage image_;
  ProcessView view_{};
  const std::size_t bytes_;
};

std::size_t sizeOf(const std::optional<std::string>& text) {
  return text ? text->size() : 0;
}

class AuthenticationPending final : public AuditPending {
 public:
  AuthenticationPending(const AuthenticationEvent& event, ProcessLookup& processes,
                        std::uint64_t nowNs)
      : AuditPending(ES_EVENT_TYPE_NOTIFY_AUTHENTICATION, nowNs, event.origin, processes,
                     sizeOf(event.account) + sizeOf(event.origin.exe)),
        success_(event.success),
        account_(event.account),
        node_(event.origin.exe) {}

  void fill(es_message_t& message, pid_t self) override {
    message.process = process(self);
    od_.instigator = message.process;
    od_.record_type = es_string_token_t{kRecordType.size(), kRecordType.data()};
    od_.record_name = tokenOf(account_);
    od_.node_name = tokenOf(node_);
    od_.db_path = es_string_token_t{kDbPath.size(), kDbPath.data()};
    auth_.success = success_;
    auth_.type = ES_AUTHENTICATION_TYPE_OD;
    auth_.data.od = &od_;
    message.event.authentication = &auth_;
  }

 private:
  const bool success_;
  const std::optional<std::string> account_;
  const std::optional<std::string> node_;
  es_event_authentication_od_t od_{};
  es_event_authentication_t auth_{};
};

class OpenSshPending final : public AuditPending {
 public:
  OpenSshPending(const OpenSshLoginEvent& event, ProcessLookup& processes, std::uint64_t nowNs)
      : AuditPending(ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN, nowNs, event.origin, processes,
                     sizeOf(event.address) + sizeOf(event.username)),
        address_(event.address),
        username_(event.username) {
    login_.success = event.success;
    login_.result_type = event.resultType;
    login_.source_address_type = addressTypeOf(event.address);
    // The login uid the session was given, when it opened.
    const std::optional<std::uint32_t> auid = event.origin.auid;
    login_.has_uid = event.success && auid && *auid != kUnsetId;
    login_.uid.uid = login_.has_uid ? *auid : 0;
  }

  void fill(es_message_t& message, pid_t self) override {
    message.process = process(self);
    login_.source_address = tokenOf(address_);
    login_.username = tokenOf(username_);
    message.event.openssh_login = &login_;
  }

 private:
  const std::optional<std::string> address_;
  const std::optional<std::string> username_;
  es_event_openssh_login_t login_{};
};

class LoginPending final : public AuditPending {
 public:
  LoginPending(const LoginLoginEvent& event, ProcessLookup& processes, std::uint64_t nowNs)
      : AuditPending(ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN, nowNs, event.origin, processes,
                     sizeOf(event.failureMessage) + sizeOf(event.username)),
        failure_(event.failureMessage),
        username_(event.username) {
    login_.success = event.success;
    std::optional<uid_t> uid;
    const std::optional<std::uint32_t> auid = event.origin.auid;
    if (event.success && auid && *auid != kUnsetId) uid = *auid;
    if (!uid) uid = uidOfUser(event.username);
    login_.has_uid = uid.has_value();
    login_.uid.uid = uid.value_or(0);
  }

  void fill(es_message_t& message, pid_t self) override {
    message.process = process(self);
    login_.failure_message = tokenOf(failure_);
    login_.username = tokenOf(username_);
    message.event.login_login = &login_;
  }

 private:
  const std::optional<std::string> failure_;
  const std::optional<std::string> username_;
  es_event_login_login_t login_{};
};

}  // namespace

es_event_type_t kindOf(const AuditEvent& event) {
  switch (event.index()) {
    case 0:
      return ES_EVENT_TYPE_NOTIFY_AUTHENTICATION;
    case 1:
      return ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN;
    default:
      return ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN;
  }
}

es_address_type_t addressTypeOf(const std::optional<std::string>& address) {
  if (!address) return ES_ADDRESS_TYPE_NONE;
  unsigned char bytes[16];
  if (::inet_pton(AF_INET, address->c_str(), bytes) == 1) return ES_ADDRESS_TYPE_IPV4;
  if (::inet_pton(AF_INET6, address->c_str(), bytes) == 1) return ES_ADDRESS_TYPE_IPV6;
  return ES_ADDRESS_TYPE_NONE;
}

std::unique_ptr<PendingEvent> pendingFor(const AuditEvent& event, ProcessLookup& processes,
                                         std::uint64_t nowNs) {
  if (const auto* auth = std::get_if<AuthenticationEvent>(&event)) {
    return std::make_unique<AuthenticationPending>(*auth, processes, nowNs);
  }
  if (const auto* ssh = std::get_if<OpenSshLoginEvent>(&event)) {
    return std::make_unique<OpenSshPending>(*ssh, processes, nowNs);
  }
  return std::make_unique<LoginPending>(std::get<LoginLoginEvent>(event), processes, nowNs);
}

}  // namespace platform::es::audit
