// The messages built for audit events: which process they name (process table first, then
// /proc, then the record itself for a process already gone), and the event fields.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/endpoint_security/audit/AuditMessages.h"
#include "platform/endpoint_security/client/Source.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/ProcessTable.h"

using namespace platform::es;
using namespace platform::es::audit;

namespace {

std::string text(es_string_token_t t) {
  return t.data == nullptr ? "<null>" : std::string(t.data, t.length);
}

constexpr pid_t kGone = 0x3ffffff0;  // above any pid the kernel hands out

struct Fixture {
  ProcessTable table;
  ExecutableCache executables{nullptr};
  ProcessLookup lookup{table, executables};
};

Origin origin(pid_t pid) {
  Origin o;
  o.time = timespec{1796882298, 405000000};
  o.pid = pid;
  o.uid = 1002;
  o.auid = 4294967295u;
  o.exe = "/usr/bin/su";
  return o;
}

TEST(AuditMessages, AuthenticationNamesTheProcessFromTheTableFirst) {
  Fixture f;
  ProcessImage known;
  known.pid = kGone;
  known.ppid = 77;
  known.ruid = known.euid = 1234;
  f.table.put(known);
  auto pending = pendingFor(AuthenticationEvent{origin(kGone), true, "bob"}, f.lookup, 5);
  es_message_t message{};
  pending->fill(message, ::getpid());
  EXPECT_EQ(pending->type, ES_EVENT_TYPE_NOTIFY_AUTHENTICATION);
  EXPECT_EQ(pending->time.tv_sec, 1796882298);
  EXPECT_EQ(pending->time.tv_nsec, 405000000);
  ASSERT_NE(message.process, nullptr);
  EXPECT_EQ(audit_token_to_pid(message.process->audit_token), kGone);
  EXPECT_EQ(message.process->ppid, 77);
  EXPECT_EQ(audit_token_to_ruid(message.process->audit_token), 1234u);
  const es_event_authentication_t& auth = *message.event.authentication;
  EXPECT_TRUE(auth.success);
  EXPECT_EQ(auth.type, ES_AUTHENTICATION_TYPE_OD);
  EXPECT_EQ(auth.data.od->instigator, message.process);
  EXPECT_EQ(text(auth.data.od->record_type), "user");
  EXPECT_EQ(text(auth.data.od->record_name), "bob");
  EXPECT_EQ(text(auth.data.od->node_name), "/usr/bin/su");
  EXPECT_EQ(text(auth.data.od->db_path), "/etc/shadow");
}

TEST(AuditMessages, ProcessFromProcThenFromTheRecord) {
  Fixture f;
  es_message_t message{};
  auto live = pendingFor(AuthenticationEvent{origin(::getpid()), false, std::nullopt}, f.lookup, 5);
  live->fill(message, ::getpid());
  EXPECT_EQ(audit_token_to_pid(message.process->audit_token), ::getpid());
  EXPECT_EQ(message.process->ppid, ::getppid());
  EXPECT_EQ(audit_token_to_ruid(message.process->audit_token), ::getuid());  // not the record's
  EXPECT_FALSE(message.event.authentication->success);
  EXPECT_EQ(text(message.event.authentication->data.od->record_name), "<null>");

  auto gone = pendingFor(AuthenticationEvent{origin(kGone), true, "bob"}, f.lookup, 5);
  gone->fill(message, ::getpid());
  EXPECT_EQ(audit_token_to_pid(message.process->audit_token), kGone);
  EXPECT_EQ(audit_token_to_ruid(message.process->audit_token), 1002u);
  EXPECT_EQ(audit_token_to_euid(message.process->audit_token), 1002u);
  ASSERT_NE(message.process->executable, nullptr);
  EXPECT_EQ(text(message.process->executable->path), "/usr/bin/su");
  // What the record does not say is unknown, not root's.
  EXPECT_EQ(audit_token_to_egid(message.process->audit_token), 4294967295u);
  EXPECT_EQ(audit_token_to_rgid(message.process->audit_token), 4294967295u);
  EXPECT_EQ(message.process->ppid, 0);
  EXPECT_EQ(message.process->start_time.tv_sec, 0);
}

// A process that exec'd after writing the record is named as it was when it wrote.
TEST(AuditMessages, NameTheProcessAsItWasWhenTheRecordWasWritten) {
  Fixture f;
  const std::uint64_t now = monotonicNow();
  ProcessImage before;
  before.pid = kGone;
  before.ruid = before.euid = 1234;
  f.table.put(before, 1);
  ProcessImage after = before;
  after.ruid = after.euid = 0;
  f.table.put(after, now - 1'000'000'000);  // exec'd a second ago
  struct Case {
    std::uint64_t writtenNs;
    uid_t euid;
  } cases[] = {{now - 2'000'000'000, 1234}, {now, 0}};
  for (const Case& c : cases) {
    Origin o = origin(kGone);
    o.time = wallClockOf(c.writtenNs);
    auto pending = pendingFor(AuthenticationEvent{o, true, "bob"}, f.lookup, now + 1000);
    es_message_t message{};
    pending->fill(message, ::getpid());
    EXPECT_EQ(audit_token_to_euid(message.process->audit_token), c.euid) << c.writtenNs;
  }
}

TEST(AuditMessages, OpenSshLoginFields) {
  Fixture f;
  struct Case {
    std::optional<std::string> address;
    es_address_type_t type;
  } cases[] = {{"127.0.0.1", ES_ADDRESS_TYPE_IPV4},       {"2001:db8::7", ES_ADDRESS_TYPE_IPV6},
               {"::ffff:10.0.0.1", ES_ADDRESS_TYPE_IPV6}, {"host.example", ES_ADDRESS_TYPE_NONE},
               {"127.0.0.1 ", ES_ADDRESS_TYPE_NONE},      {std::nullopt, ES_ADDRESS_TYPE_NONE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address.value_or("<none>"));
    Origin o = origin(kGone);
    o.auid = 1001;
    auto pending = pendingFor(OpenSshLoginEvent{o, true, ES_OPENSSH_AUTH_SUCCESS, c.address, "bob"},
                              f.lookup, 5);
    es_message_t message{};
    pending->fill(message, ::getpid());
    const es_event_openssh_login_t& login = *message.event.openssh_login;
    EXPECT_TRUE(login.success);
    EXPECT_EQ(login.result_type, ES_OPENSSH_AUTH_SUCCESS);
    EXPECT_EQ(login.source_address_type, c.type);
    EXPECT_EQ(text(login.source_address), c.address.value_or("<null>"));
    EXPECT_EQ(text(login.username), "bob");
    EXPECT_TRUE(login.has_uid);
    EXPECT_EQ(login.uid.uid, 1001u);
  }
}

TEST(AuditMessages, LoginUidFromTheSessionOrTheUserDatabase) {
  Fixture f;
  struct Case {
    const char* name;
    bool success;
    std::uint32_t auid;
    std::optional<std::string> user;
    bool hasUid;
    uid_t uid;
  } cases[] = {
      {"success: the session's login uid", true, 1001, "root", true, 1001},
      {"failure: the name's uid", false, 4294967295u, "root", true, 0},
      {"success without a login uid", true, 4294967295u, "root", true, 0},
      {"unknown name", false, 4294967295u, "no-such-user-here", false, 0},
      {"no name", false, 4294967295u, std::nullopt, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Origin o = origin(kGone);
    o.auid = c.auid;
    std::optional<std::string> failure;
    if (!c.success) failure = "Authentication failure";
    auto pending = pendingFor(LoginLoginEvent{o, c.success, failure, c.user}, f.lookup, 5);
    es_message_t message{};
    pending->fill(message, ::getpid());
    const es_event_login_login_t& login = *message.event.login_login;
    EXPECT_EQ(login.success, c.success);
    EXPECT_EQ(login.has_uid, c.hasUid);
    EXPECT_EQ(login.uid.uid, c.uid);
    EXPECT_EQ(text(login.failure_message), failure.value_or("<null>"));
    EXPECT_EQ(text(login.username), c.user.value_or("<null>"));
  }
}

}  // namespace
