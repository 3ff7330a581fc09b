// The process-table walk and the answer built from it: against a scripted kernel for the edge
// cases, against the running system for the main path.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "agent/ipc/CustomObject.h"
#include "agent/ipc/LineLimiter.h"
#include "agent/ipc/ProcTable.h"
#include "platform/Override.h"
#include "platform/log/Log.h"
#include "platform/sysctl/FakeSysctl.h"

namespace {

using agent::CustomObject;
using agent::ProcDictionary;
using platform::sysctl_backend::FakeProcess;
using platform::sysctl_backend::FakeSysctl;
using platform::sysctl_backend::processTableBytes;

std::string readLink(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

// What one answer did: its replies, log lines and standard output.
struct Answer {
  std::vector<std::string> replies;
  std::vector<std::string> log;
  std::string out;
  std::string err;
};

Answer answer() {
  Answer result;
  platform::log::Capture capture;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  agent::answerProcTable([&](const ipc::NSData& data) { result.replies.push_back(data); });
  result.err = testing::internal::GetCapturedStderr();
  result.out = testing::internal::GetCapturedStdout();
  result.log = capture.lines();
  return result;
}

// Every test starts with the argument size not yet asked, as in a new agent.
class ProcTableFake : public testing::Test {
 protected:
  void SetUp() override {
    CustomObject::forgetArgumentSize();
    agent::LineLimiter::shared().forget();  // every answer's lines are looked at
  }
  void TearDown() override { CustomObject::forgetArgumentSize(); }

  FakeSysctl kernel;
  platform::ScopedOverride<platform::sysctl_backend::Backend> override{kernel};
};

TEST_F(ProcTableFake, SnapshotKeepsOnlyReadableProcessesWithCompletePaths) {
  struct Case {
    const char* what;
    std::vector<FakeProcess> processes;
    ProcDictionary expected;
  };
  const std::string cafe = "/opt/caf\xC3\xA9/\xF0\x9F\x90\xA7";  // two- and four-byte forms
  const Case cases[] = {
      {"pid 0 is left out", {{0, "/kernel", {}}, {1, "/sbin/init", {"init"}}}, {{1, "/sbin/init"}}},
      {"unreadable processes are left out, the others listed once",
       {{1, "/sbin/init", {}},
        {7, "/gone", {}, ESRCH},
        {8, "/root-only", {}, EPERM},
        {9, "/zombie", {}, EACCES},
        {12, "/bin/sh", {"sh", "-c", "true"}}},
       {{1, "/sbin/init"}, {12, "/bin/sh"}}},
      {"empty path is listed", {{5, "", {"noexe"}}}, {{5, ""}}},
      {"arguments do not leak into the path",
       {{3, "/usr/bin/env", {"env", "A=1"}}},
       {{3, "/usr/bin/env"}}},
      {"UTF-8 beyond ASCII is kept", {{4, cafe, {}}}, {{4, cafe}}},
      {"paths that are not UTF-8 are left out",
       {{20, "/bin/ok", {}},
        {21, "/latin1/caf\xE9", {}},
        {22, "/lone/\x80", {}},
        {23, "/overlong/\xC0\xAF", {}},
        {24, "/surrogate/\xED\xA0\x80", {}},
        {25, "/too-high/\xF4\x90\x80\x80", {}},
        {26, "/cut/\xE2\x82", {}},
        {27, "/bad-lead/\xFF", {}}},
       {{20, "/bin/ok"}}},
      {"no processes", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel.processes = c.processes;
    const std::optional<ProcDictionary> snapshot = CustomObject().getProcs2();
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_EQ(*snapshot, c.expected);
  }
}

TEST_F(ProcTableFake, ProcessZeroIsNeverAskedAbout) {
  kernel.processes = {{0, "/kernel", {}}, {1, "/sbin/init", {}}, {0, "/kernel", {}}};
  ASSERT_TRUE(CustomObject().getProcs2().has_value());
  EXPECT_EQ(kernel.argumentQueries(), (std::vector<std::int32_t>{1}));
}

TEST_F(ProcTableFake, ProcessListedTwiceInTheTableHasOneEntry) {
  kernel.processes = {{1, "/sbin/init", {}}, {2, "/bin/a", {}}};
  kernel.rawTable = processTableBytes({1, 2, 1});
  EXPECT_EQ(CustomObject().getProcs2(), (ProcDictionary{{1, "/sbin/init"}, {2, "/bin/a"}}));
}

TEST_F(ProcTableFake, TableIsReadInWholeRecordsOnly) {
  kernel.processes = {{1, "/sbin/init", {}}, {2, "/bin/a", {}}};
  struct Case {
    const char* what;
    std::string bytes;
    ProcDictionary expected;
  };
  const std::string one = processTableBytes({1});
  const std::string two = processTableBytes({1, 2});
  const Case cases[] = {
      {"empty table", "", {}},
      {"less than one record", one.substr(0, 647), {}},
      {"one record and a piece of the next", two.substr(0, 648 + 100), {{1, "/sbin/init"}}},
      {"two records", two, {{1, "/sbin/init"}, {2, "/bin/a"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel.rawTable = c.bytes;
    EXPECT_EQ(CustomObject().getProcs2(), c.expected);
  }
}

TEST_F(ProcTableFake, PathCutOffByTheArgumentBufferIsLeftOut) {
  // Twelve bytes hold the count and eight path bytes: "/bin/sh" and its NUL fit,
  // "/usr/bin/python3" does not, and must not be read past the buffer.
  kernel.argmax = 12;
  kernel.processes = {{1, "/bin/sh", {"sh"}},
                      {2, "/usr/bin/python3", {"python3"}},
                      {3, "/bin/abc", {}},
                      {4, "", {}}};
  EXPECT_EQ(CustomObject().getProcs2(), (ProcDictionary{{1, "/bin/sh"}, {4, ""}}));
  for (std::size_t size : kernel.argumentBufferSizes()) EXPECT_EQ(size, 12u);
}

TEST_F(ProcTableFake, ArgumentSizeIsAskedOnceAndEveryBufferHasIt) {
  kernel.argmax = 100000;
  kernel.processes = {{1, "/sbin/init", {}}, {2, "/bin/a", {}}};
  ASSERT_TRUE(CustomObject().getProcs2().has_value());
  kernel.argmax = 5000;  // a later answer is never seen
  ASSERT_TRUE(CustomObject().getProcs2().has_value());
  EXPECT_EQ(kernel.argmaxQueries(), 1);
  EXPECT_EQ(kernel.argumentBufferSizes(), (std::vector<std::size_t>(4, 100000)));
}

TEST_F(ProcTableFake, UnreadableArgumentSizeFallsBackTo4096Once) {
  kernel.argmaxError = EPERM;
  kernel.processes = {{1, "/sbin/init", {}}, {2, "/bin/a", {}}};
  testing::internal::CaptureStderr();
  const auto first = CustomObject().getProcs2();
  const std::string firstErr = testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  const auto second = CustomObject().getProcs2();
  const std::string secondErr = testing::internal::GetCapturedStderr();

  EXPECT_EQ(firstErr, std::string("sysctl argument size: ") + std::strerror(EPERM) + "\n");
  EXPECT_EQ(secondErr, "");
  EXPECT_EQ(kernel.argmaxQueries(), 1);
  EXPECT_EQ(kernel.argumentBufferSizes(), (std::vector<std::size_t>(4, 4096)));
  EXPECT_EQ(first, (ProcDictionary{{1, "/sbin/init"}, {2, "/bin/a"}}));
  EXPECT_EQ(second, first);
}

TEST_F(ProcTableFake, UnusableArgumentSizeFallsBackTo4096) {
  for (std::int32_t bad : {0, -1, 4}) {
    SCOPED_TRACE(bad);
    CustomObject::forgetArgumentSize();
    kernel.argmax = bad;
    EXPECT_EQ(CustomObject::cachedArgumentSize(), 4096);
  }
}

TEST_F(ProcTableFake, FirstSnapshotsAtOnceAskTheArgumentSizeOnce) {
  kernel.processes = {{1, "/sbin/init", {}}};
  kernel.argmaxDelay = std::chrono::milliseconds(20);
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<std::optional<ProcDictionary>> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      results[i] = CustomObject().getProcs2();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(kernel.argmaxQueries(), 1);
  for (const auto& result : results) EXPECT_EQ(result, (ProcDictionary{{1, "/sbin/init"}}));
}

TEST_F(ProcTableFake, UnreadableTableIsAnsweredHello) {
  struct Case {
    const char* what;
    int sizeError;
    int readError;
  };
  const Case cases[] = {
      {"size query fails", EPERM, 0},
      {"table grew after the size was asked", 0, ENOMEM},
      {"read refused", 0, EACCES},
  };
  kernel.processes = {{1, "/sbin/init", {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel.tableSizeError = c.sizeError;
    kernel.tableReadError = c.readError;
    EXPECT_EQ(CustomObject().getProcs2(), std::nullopt);
    const Answer a = answer();
    EXPECT_EQ(a.replies, (std::vector<std::string>{"Hello"}));
    EXPECT_EQ(a.log, (std::vector<std::string>{"could not get NSDictionary"}));
    EXPECT_EQ(a.out, "");
  }
}

// Beside the paths: each listed process's parent, user and arguments, whole arguments only.
TEST_F(ProcTableFake, DetailsGiveParentUserAndWholeArguments) {
  kernel.argmax = 24;  // "/bin/a" and "one" fit; "twotwotwo" is cut off
  kernel.processes = {{7, "/bin/a", {"one", "twotwotwo"}, 0, 1, 1000},
                      {8, "/bin/b", {"ok", "bad\xff", ""}, 0, 7, 0},
                      {9, "/bin/c", {"gone"}, ESRCH, 7, 0}};
  agent::ProcDetailsDictionary details;
  EXPECT_EQ(CustomObject().getProcs2(&details), (ProcDictionary{{7, "/bin/a"}, {8, "/bin/b"}}));
  EXPECT_EQ(details, (agent::ProcDetailsDictionary{{7, {1, 1000, {"one"}}},
                                                   {8, {7, 0, {"ok", "unknown", ""}}}}));
}

TEST_F(ProcTableFake, AnswerIsTheEncodedTableLoggedAndPrinted) {
  struct Case {
    const char* what;
    std::optional<std::string> rawTable;
    std::vector<FakeProcess> processes;
    std::string json;
    std::string sizeLine;
  };
  const Case cases[] = {
      {"table shorter than one record",
       std::string(600, '\0'),
       {},
       R"({"table":[]})",
       "objcDictionary size: 0"},
      {"only unreadable processes",
       std::nullopt,
       {{0, "/k", {}}, {9, "/x", {}, ESRCH}},
       R"({"table":[]})",
       "objcDictionary size: 0"},
      {"three processes",
       std::nullopt,
       {{512, "/bin/zsh", {"-zsh"}, 0, 500, 501},
        {1, "/sbin/launchd", {}},
        {500, "/bin/zsh", {"zsh", "-c", "make all"}, 0, 1, 0}},
       R"({"table":[{"pid":1,"executable":"\/sbin\/launchd","ppid":0,"uid":0,"args":[]},)"
       R"({"pid":500,"executable":"\/bin\/zsh","ppid":1,"uid":0,"args":["zsh","-c","make all"]},)"
       R"({"pid":512,"executable":"\/bin\/zsh","ppid":500,"uid":501,"args":["-zsh"]}]})",
       "objcDictionary size: 3"},
      {"path needing escapes",
       std::nullopt,
       {{2, "/tmp/a \"b\"\\\n", {}}, {3, "", {}}},
       R"({"table":[{"pid":2,"executable":"\/tmp\/a \"b\"\\\n","ppid":0,"uid":0,"args":[]},)"
       R"({"pid":3,"executable":"","ppid":0,"uid":0,"args":[]}]})",
       "objcDictionary size: 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel.rawTable = c.rawTable;
    kernel.processes = c.processes;
    const Answer a = answer();
    EXPECT_EQ(a.replies, (std::vector<std::string>{c.json}));
    EXPECT_EQ(a.log, (std::vector<std::string>{c.sizeLine, "Encoded jsonData"}));
    EXPECT_EQ(a.out, "");  // standard output carries documents only
  }
}

// The running system.

// Processes with an executable image, from /proc directly.
std::map<std::int64_t, std::string> executables() {
  std::map<std::int64_t, std::string> found;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return found;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::string path = readLink("/proc/" + std::string(entry->d_name) + "/exe");
    if (!path.empty()) found.emplace(pid, std::move(path));
  }
  ::closedir(dir);
  return found;
}

// The running system's table, through the /proc backend a program's main installs.
class ProcTableSystem : public testing::Test {
 protected:
  platform::ScopedOverride<platform::sysctl_backend::Backend> installed_{
      platform::sysctl_backend::system()};
};

TEST_F(ProcTableSystem, SnapshotMatchesProc) {
  CustomObject::forgetArgumentSize();
  const auto before = executables();
  const std::optional<ProcDictionary> snapshot = CustomObject().getProcs2();
  const auto after = executables();
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_EQ(snapshot->count(0), 0u);
  ASSERT_EQ(snapshot->count(::getpid()), 1u);
  EXPECT_EQ(snapshot->at(::getpid()), readLink("/proc/self/exe"));
  // A process with the same image before and after the snapshot had it throughout (other
  // processes may exec or exit meanwhile): it is listed, with that image.
  for (const auto& [pid, executable] : before) {
    const auto still = after.find(pid);
    if (still == after.end() || still->second != executable) continue;
    const auto listed = snapshot->find(pid);
    ASSERT_NE(listed, snapshot->end()) << "pid " << pid << " " << executable;
    EXPECT_EQ(listed->second, executable) << "pid " << pid;
  }
}

TEST_F(ProcTableSystem, AnswerListsThisProcessAsJson) {
  CustomObject::forgetArgumentSize();
  const Answer a = answer();
  ASSERT_EQ(a.replies.size(), 1u);
  const nlohmann::json document = nlohmann::json::parse(a.replies[0]);
  ASSERT_TRUE(document.at("table").is_array());
  int self = 0;
  for (const nlohmann::json& entry : document.at("table")) {
    EXPECT_NE(entry.at("pid").get<std::int64_t>(), 0);
    if (entry.at("pid").get<std::int64_t>() == ::getpid()) {
      ++self;
      EXPECT_EQ(entry.at("executable").get<std::string>(), readLink("/proc/self/exe"));
    }
  }
  EXPECT_EQ(self, 1);
  EXPECT_EQ(a.log, (std::vector<std::string>{
                       "objcDictionary size: " + std::to_string(document["table"].size()),
                       "Encoded jsonData"}));
  EXPECT_EQ(a.out, "");  // standard output carries documents only
}

// /proc that shows no process at all (an empty file system mounted over it) cannot be the
// kernel's table, which always holds the asking process: the answer is "Hello", not an empty
// table.
TEST_F(ProcTableSystem, UnreadableProcIsAnsweredHello) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount over /proc";
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) {
      ::_exit(100);
    }
    std::string reply;
    agent::answerProcTable([&](const ipc::NSData& data) { reply = data; });
    [[maybe_unused]] auto n = ::write(out[1], reply.data(), reply.size());
    ::_exit(0);
  }
  ::close(out[1]);
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot mount over /proc here";
  EXPECT_EQ(reply, "Hello");
}

}  // namespace
