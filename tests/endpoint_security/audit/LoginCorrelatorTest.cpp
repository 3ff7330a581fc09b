// The rules that turn audit records into authentication and login events, run over record
// sequences as this machine's su, sshd and login write them (recorded by hand), plus hostile and
// interleaved ones. Each sequence lists its records with their arrival times; the events are
// what feed and expire give, described one line each. The writers' start times come from a
// fixture /proc tree the steps fill in.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/endpoint_security/audit/LoginCorrelator.h"
#include "tests/support/TempDir.h"

using namespace platform::es::audit;

namespace {

constexpr std::uint64_t kMs = 1000000;

struct Step {
  std::uint64_t atMs;
  std::uint16_t type;
  std::string text;  // the record without its header
  // When set, the writer's /proc/<pid>/stat says it started at this tick from now on.
  std::uint64_t startTicks = 0;
};

// A step of this type is no record: the process of its text's pid ends.
constexpr std::uint16_t kProcessEnds = 0;

// A /proc tree of stat files only, removed at the end.
class FixtureProc {
 public:
  const std::string& root() const { return root_.string(); }
  void ended(std::int64_t pid) const { std::filesystem::remove_all(root_ / std::to_string(pid)); }
  void started(std::int64_t pid, std::uint64_t ticks) const {
    const std::filesystem::path dir = root_ / std::to_string(pid);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "stat") << pid << " (sshd) S 1 " << pid << " " << pid
                                << " 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 " << ticks
                                << " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
  }

 private:
  const test_support::TempDir root_{"audit-proc"};
};

std::string valueOr(const std::optional<std::string>& v) {
  return v ? *v : "<none>";
}

std::string describe(const AuditEvent& event) {
  if (const auto* a = std::get_if<AuthenticationEvent>(&event)) {
    return "auth " + std::string(a->success ? "ok " : "fail ") + valueOr(a->account) +
           " pid=" + std::to_string(a->origin.pid) + " exe=" + valueOr(a->origin.exe);
  }
  if (const auto* s = std::get_if<OpenSshLoginEvent>(&event)) {
    return "ssh " + std::string(s->success ? "ok " : "fail ") + std::to_string(s->resultType) +
           " " + valueOr(s->address) + " " + valueOr(s->username) +
           " pid=" + std::to_string(s->origin.pid);
  }
  const auto& l = std::get<LoginLoginEvent>(event);
  return "login " + std::string(l.success ? "ok " : "fail ") + valueOr(l.username) + " (" +
         valueOr(l.failureMessage) + ") pid=" + std::to_string(l.origin.pid);
}

std::vector<std::string> run(const std::vector<Step>& steps) {
  const FixtureProc proc;
  LoginCorrelator correlator(std::chrono::milliseconds(500), 1024,
                             platform::ProcReader(proc.root()));
  std::vector<std::string> seen;
  std::uint64_t serial = 1;
  auto take = [&](std::vector<AuditEvent> events) {
    for (const AuditEvent& e : events) seen.push_back(describe(e));
  };
  for (const Step& step : steps) {
    const std::uint64_t now = 1000 * kMs + step.atMs * kMs;
    take(correlator.expire(now));
    const std::string text = "audit(1796882310.469:" + std::to_string(serial++) + "): " + step.text;
    const std::optional<AuditRecord> record = parseAuditRecord(step.type, text);
    EXPECT_TRUE(record) << text;
    if (record && record->pid && step.startTicks) proc.started(*record->pid, step.startTicks);
    if (record && record->pid && step.type == kProcessEnds) {
      proc.ended(*record->pid);
    } else if (record) {
      take(correlator.feed(*record, now));
    }
  }
  const std::uint64_t end = 1000 * kMs + (steps.empty() ? 0 : steps.back().atMs) * kMs;
  take(correlator.expire(end + 120000 * kMs));
  EXPECT_EQ(correlator.attempts(), 0u) << "attempts are forgotten once idle";
  return seen;
}

// Record texts as written here (pid, kernel ids, then the sender's message).
std::string rec(int pid, const std::string& msg, const char* auid = "4294967295") {
  return "pid=" + std::to_string(pid) + " uid=0 auid=" + auid + " ses=4294967295 msg='" + msg + "'";
}
std::string sshd(const std::string& op, const std::string& acct, const char* res) {
  return "op=" + op + " grantors=? acct=" + acct +
         " exe=\"/usr/sbin/sshd\" hostname=127.0.0.1 addr=127.0.0.1 terminal=ssh res=" + res;
}
std::string sshdLogin(const std::string& acct) {
  return "op=login acct=" + acct +
         " exe=\"/usr/sbin/sshd\" hostname=? addr=127.0.0.1 terminal=sshd res=failed";
}
std::string login(const std::string& op, const std::string& acct, const char* res) {
  return "op=" + op + " acct=" + acct +
         " exe=\"/usr/bin/login\" hostname=? addr=? terminal=/dev/pts/0 res=" + res;
}
const std::string kInvalidHex = "28696E76616C6964207573657229";

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> expected;
};

TEST(LoginCorrelator, RecordedSequences) {
  const Case cases[] = {
      {"su, right password",
       {{0, kUserAuth,
         rec(11604,
             "op=PAM:authentication grantors=pam_unix acct=\"bob\" exe=\"/usr/bin/su\" "
             "hostname=? addr=? terminal=/dev/pts/0 res=success")},
        {0, kUserAcct,
         rec(11604,
             "op=PAM:accounting grantors=pam_permit acct=\"bob\" exe=\"/usr/bin/su\" "
             "hostname=? addr=? terminal=/dev/pts/0 res=success")},
        {4, kUserStart,
         rec(11604,
             "op=PAM:session_open grantors=pam_unix acct=\"bob\" exe=\"/usr/bin/su\" "
             "hostname=? addr=? terminal=/dev/pts/0 res=success")}},
       {"auth ok bob pid=11604 exe=/usr/bin/su"}},
      {"su, wrong password",
       {{0, kUserAuth,
         rec(11648,
             "op=PAM:authentication grantors=? acct=\"bob\" exe=\"/usr/bin/su\" "
             "hostname=? addr=? terminal=/dev/pts/0 res=failed")}},
       {"auth fail bob pid=11648 exe=/usr/bin/su"}},
      {"ssh, right password: the session opening is the login",
       {{0, kUserAuth, rec(11942, sshd("PAM:authentication", "\"bob\"", "success"))},
        {24, kUserAcct, rec(11942, sshd("PAM:accounting", "\"bob\"", "success"))},
        {24, 1006, "pid=11942 uid=0 old-auid=4294967295 auid=1001 tty=(none) ses=1 res=1"},
        {32, kUserStart, rec(11942, sshd("PAM:session_open", "\"bob\"", "success"), "1001")},
        {32, 1103, rec(11948, sshd("PAM:setcred", "\"bob\"", "success"), "1001")},
        {76, 1106, rec(11942, sshd("PAM:session_close", "\"bob\"", "success"), "1001")}},
       {"auth ok bob pid=11942 exe=/usr/sbin/sshd", "ssh ok 2 127.0.0.1 bob pid=11942"}},
      {"ssh, wrong password: the later USER_LOGIN is the same attempt",
       {{0, kUserAuth, rec(11953, sshd("PAM:authentication", "\"bob\"", "failed"))},
        {2120, kUserLogin, rec(11953, sshdLogin("\"bob\""))}},
       {"auth fail bob pid=11953 exe=/usr/sbin/sshd", "ssh fail 4 127.0.0.1 bob pid=11953"}},
      {"ssh, unknown user: one event, named by the failed authentication",
       {{0, kUserLogin, rec(11989, sshdLogin(kInvalidHex))},
        {0, kUserLogin, rec(11989, sshdLogin(kInvalidHex))},
        {8, kUserAuth, rec(11989, sshd("PAM:authentication", "\"nosuchuser\"", "failed"))},
        {1680, kUserLogin, rec(11989, sshdLogin(kInvalidHex))}},
       {"auth fail nosuchuser pid=11989 exe=/usr/sbin/sshd",
        "ssh fail 9 127.0.0.1 nosuchuser pid=11989"}},
      {"ssh, unknown user and no password tried: reported after the window",
       {{0, kUserLogin, rec(700, sshdLogin(kInvalidHex))},
        {0, kUserLogin, rec(700, sshdLogin(kInvalidHex))},
        {499, kUserAcct, rec(700, sshd("PAM:accounting", "\"x\"", "failed"))},
        {1000, kUserAcct, rec(701, sshd("PAM:accounting", "\"y\"", "failed"))}},
       {"ssh fail 9 127.0.0.1 (invalid user) pid=700"}},
      {"ssh, key refused for a known user: no password checked",
       {{0, kUserLogin, rec(710, sshdLogin("\"bob\""))}},
       {"ssh fail 3 127.0.0.1 bob pid=710"}},
      {"ssh, two wrong passwords on one connection: two attempts",
       {{0, kUserAuth, rec(720, sshd("PAM:authentication", "\"bob\"", "failed"))},
        {2100, kUserLogin, rec(720, sshdLogin("\"bob\""))},
        {2200, kUserAuth, rec(720, sshd("PAM:authentication", "\"bob\"", "failed"))},
        {4300, kUserLogin, rec(720, sshdLogin("\"bob\""))}},
       {"auth fail bob pid=720 exe=/usr/sbin/sshd", "ssh fail 4 127.0.0.1 bob pid=720",
        "auth fail bob pid=720 exe=/usr/sbin/sshd", "ssh fail 4 127.0.0.1 bob pid=720"}},
      {"ssh, wrong then right password",
       {{0, kUserAuth, rec(730, sshd("PAM:authentication", "\"bob\"", "failed"))},
        {2100, kUserLogin, rec(730, sshdLogin("\"bob\""))},
        {2200, kUserAuth, rec(730, sshd("PAM:authentication", "\"bob\"", "success"))},
        {2210, kUserStart, rec(730, sshd("PAM:session_open", "\"bob\"", "success"), "1001")}},
       {"auth fail bob pid=730 exe=/usr/sbin/sshd", "ssh fail 4 127.0.0.1 bob pid=730",
        "auth ok bob pid=730 exe=/usr/sbin/sshd", "ssh ok 2 127.0.0.1 bob pid=730"}},
      {"ssh, two connections at once keep apart",
       {{0, kUserLogin, rec(740, sshdLogin(kInvalidHex))},
        {5, kUserAuth, rec(741, sshd("PAM:authentication", "\"bob\"", "failed"))},
        {10, kUserAuth, rec(740, sshd("PAM:authentication", "\"eve\"", "failed"))}},
       {"auth fail bob pid=741 exe=/usr/sbin/sshd", "ssh fail 4 127.0.0.1 bob pid=741",
        "auth fail eve pid=740 exe=/usr/sbin/sshd", "ssh fail 9 127.0.0.1 eve pid=740"}},
      {"ssh, a key refused, then the password: the login succeeded, nothing failed",
       {{0, kUserLogin, rec(732, sshdLogin("\"bob\""))},
        {300, kUserAuth, rec(732, sshd("PAM:authentication", "\"bob\"", "success"))},
        {320, kUserAcct, rec(732, sshd("PAM:accounting", "\"bob\"", "success"))},
        {620, kUserStart, rec(732, sshd("PAM:session_open", "\"bob\"", "success"), "1001")}},
       {"auth ok bob pid=732 exe=/usr/sbin/sshd", "ssh ok 2 127.0.0.1 bob pid=732"}},
      {"ssh, a key refused, then a second key: the login succeeded, nothing failed",
       {{0, kUserLogin, rec(733, sshdLogin("\"bob\""))},
        {12, kUserAcct, rec(733, sshd("PAM:accounting", "\"bob\"", "success"))},
        {20, kUserStart, rec(733, sshd("PAM:session_open", "\"bob\"", "success"), "1001")}},
       {"ssh ok 2 127.0.0.1 bob pid=733"}},
      {"ssh, a key refused, then a password typed seconds later: the login succeeded",
       {{0, kUserLogin, rec(734, sshdLogin("\"bob\"")), 100},
        {4000, kUserAuth, rec(734, sshd("PAM:authentication", "\"bob\"", "success"))},
        {4020, kUserStart, rec(734, sshd("PAM:session_open", "\"bob\"", "success"), "1001")}},
       {"auth ok bob pid=734 exe=/usr/sbin/sshd", "ssh ok 2 127.0.0.1 bob pid=734"}},
      {"ssh, a key refused and the client gives up: reported once the connection ends",
       {{0, kUserLogin, rec(735, sshdLogin("\"bob\"")), 100},
        {3000, kProcessEnds, rec(735, "")},
        {3600, kUserAcct, rec(736, sshd("PAM:accounting", "\"eve\"", "failed"))},
        {3601, kUserAcct, rec(736, sshd("PAM:accounting", "\"eve\"", "failed"))}},
       {"ssh fail 3 127.0.0.1 bob pid=735"}},
      {"ssh, a pid used again by a later connection: the earlier unknown user is not inherited",
       {{0, kUserLogin, rec(750, sshdLogin(kInvalidHex)), 100},
        {8, kUserAuth, rec(750, sshd("PAM:authentication", "\"nosuchuser\"", "failed"))},
        {1680, kUserLogin, rec(750, sshdLogin(kInvalidHex))},
        {3000, kUserAuth, rec(750, sshd("PAM:authentication", "\"bob\"", "failed")), 200},
        {5100, kUserLogin, rec(750, sshdLogin("\"bob\""))}},
       {"auth fail nosuchuser pid=750 exe=/usr/sbin/sshd",
        "ssh fail 9 127.0.0.1 nosuchuser pid=750", "auth fail bob pid=750 exe=/usr/sbin/sshd",
        "ssh fail 4 127.0.0.1 bob pid=750"}},
      {"ssh, a pid used again while a lone failure waits: it is the earlier connection's",
       {{0, kUserLogin, rec(760, sshdLogin("\"eve\"")), 100},
        {100, kUserAuth, rec(760, sshd("PAM:authentication", "\"bob\"", "success")), 200},
        {110, kUserStart, rec(760, sshd("PAM:session_open", "\"bob\"", "success"), "1001")}},
       {"ssh fail 3 127.0.0.1 eve pid=760", "auth ok bob pid=760 exe=/usr/sbin/sshd",
        "ssh ok 2 127.0.0.1 bob pid=760"}},
      {"login, right password",
       {{0, kUserAuth, rec(12375, login("PAM:authentication", "\"bob\"", "success"))},
        {0, kUserAcct, rec(12375, login("PAM:accounting", "\"bob\"", "success"))},
        {4, kUserStart, rec(12375, login("PAM:session_open", "\"bob\"", "success"), "1001")},
        {8, kUserLogin, rec(12375, login("login", "\"bob\"", "success"), "1001")}},
       {"auth ok bob pid=12375 exe=/usr/bin/login", "login ok bob (<none>) pid=12375"}},
      {"login, wrong password then another wrong name on the same prompt",
       {{0, kUserAuth, rec(12471, login("PAM:authentication", "\"bob\"", "failed"))},
        {2948, kUserLogin, rec(12471, login("login", "\"bob\"", "failed"))},
        {2948, kUserAuth, rec(12471, login("PAM:authentication", "\"exit\"", "failed"))},
        {6512, kUserLogin, rec(12471, login("login", "\"UNKNOWN\"", "failed"))}},
       {"auth fail bob pid=12471 exe=/usr/bin/login",
        "login fail bob (Authentication failure) pid=12471",
        "auth fail exit pid=12471 exe=/usr/bin/login",
        "login fail exit (Authentication failure) pid=12471"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.steps), c.expected);
  }
}

TEST(LoginCorrelator, HostileRecords) {
  const Case cases[] = {
      {"another program calling itself sshd in its account text",
       {{0, kUserStart,
         rec(800,
             "op=PAM:session_open acct=\"x exe=/usr/sbin/sshd\" exe=\"/tmp/sshd\" "
             "addr=127.0.0.1 res=success")}},
       {}},
      {"a program at another path named sshd",
       {{0, kUserStart,
         rec(801,
             "op=PAM:session_open acct=\"bob\" exe=\"/opt/x/sshd\" "
             "addr=10.0.0.1 res=success")}},
       {}},
      {"exe given twice: the first one counts",
       {{0, kUserStart,
         rec(802,
             "op=PAM:session_open acct=\"bob\" exe=\"/tmp/x\" "
             "exe=\"/usr/sbin/sshd\" res=success")}},
       {}},
      {"a forged pid inside the message does not move the attempt",
       {{0, kUserLogin, rec(803, "pid=1 " + sshdLogin(kInvalidHex))},
        {5, kUserAuth, rec(803, "pid=1 " + sshd("PAM:authentication", "\"eve\"", "failed"))}},
       {"auth fail eve pid=803 exe=/usr/sbin/sshd", "ssh fail 9 127.0.0.1 eve pid=803"}},
      {"no kernel pid: attributed to nobody, so not reported",
       {{0, kUserAuth, "uid=0 msg='" + sshd("PAM:authentication", "\"bob\"", "failed") + "'"}},
       {}},
      {"an account that is not UTF-8 stays unnamed",
       {{0, kUserAuth, rec(804, sshd("PAM:authentication", "C328A0A1", "failed"))}},
       {"auth fail <none> pid=804 exe=/usr/sbin/sshd", "ssh fail 4 127.0.0.1 <none> pid=804"}},
      {"result neither success nor failed",
       {{0, kUserStart, rec(805, sshd("PAM:session_open", "\"bob\"", "maybe"))},
        {1, kUserAuth, rec(805, sshd("PAM:authentication", "\"bob\"", "?"))}},
       {"auth fail bob pid=805 exe=/usr/sbin/sshd"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.steps), c.expected);
  }
}

TEST(LoginCorrelator, WaitsOnlyAsLongAsTheWindow) {
  const FixtureProc proc;  // the writer is gone
  LoginCorrelator correlator(std::chrono::milliseconds(300), 1024,
                             platform::ProcReader(proc.root()));
  EXPECT_EQ(correlator.nextDeadline(), std::nullopt);
  const auto record =
      parseAuditRecord(kUserLogin, "audit(1.000:1): " + rec(900, sshdLogin("\"bob\"")));
  ASSERT_TRUE(record);
  EXPECT_TRUE(correlator.feed(*record, 5000 * kMs).empty());
  EXPECT_EQ(correlator.nextDeadline(), 5300 * kMs);
  EXPECT_TRUE(correlator.expire(5299 * kMs).empty());
  ASSERT_EQ(correlator.expire(5300 * kMs).size(), 1u);
  EXPECT_TRUE(correlator.expire(5301 * kMs).empty());
}

TEST(LoginCorrelator, BoundedNumberOfAttempts) {
  const FixtureProc proc;  // the writers are gone
  LoginCorrelator correlator(std::chrono::milliseconds(300), 4, platform::ProcReader(proc.root()));
  for (int pid = 1; pid <= 50; ++pid) {
    const auto record = parseAuditRecord(
        kUserLogin, "audit(1.000:1): " + rec(pid, sshdLogin("\"u" + std::to_string(pid) + "\"")));
    ASSERT_TRUE(record);
    correlator.feed(*record, static_cast<std::uint64_t>(pid) * kMs);
    EXPECT_LE(correlator.attempts(), 4u);
  }
  // The four newest are still waiting and are reported.
  const std::vector<AuditEvent> late = correlator.expire(10000 * kMs);
  std::vector<std::string> seen;
  for (const AuditEvent& e : late) seen.push_back(describe(e));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "ssh fail 3 127.0.0.1 u47 pid=47", "ssh fail 3 127.0.0.1 u48 pid=48",
                      "ssh fail 3 127.0.0.1 u49 pid=49", "ssh fail 3 127.0.0.1 u50 pid=50"}));
}

}  // namespace
