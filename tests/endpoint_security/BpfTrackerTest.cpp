// The in-kernel process programs' rules on records built as the programs write them (no root, no
// BPF): what each record does to the process table, which events it makes, what the sightings
// are told and what the source is given to log. The table starts from a fixture /proc tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/endpoint_security/bpf/ProcessRecords.h"
#include "platform/endpoint_security/client/FileSightings.h"
#include "platform/endpoint_security/identity/ExecutableCache.h"
#include "platform/endpoint_security/process/BpfTracker.h"
#include "platform/endpoint_security/process/ProcessTable.h"
#include "platform/procfs/ProcFs.h"
#include "tests/endpoint_security/FakeProcTree.h"

using namespace platform::es;
using fixture::FakeProc;
using fixture::FakeProcess;
using platform::bootWallClockNs;
using platform::ProcReader;
using platform::splitNulList;

namespace {

using Record = std::vector<unsigned char>;

struct Ids {
  std::uint32_t ruid, euid, rgid, egid;
};
constexpr Ids kUser{1000, 1001, 100, 101};  // the fixture shell's
constexpr Ids kRoot{0, 0, 0, 0};

// A task as the programs describe it; it started `pid` seconds after boot.
watch_task task(std::uint32_t pid, std::uint32_t ppid, std::uint32_t pgid, std::uint32_t sid,
                Ids ids = kUser, bool kernel = false) {
  watch_task t{};
  t.pid = pid;
  t.ppid = ppid;
  t.pgid = pgid;
  t.sid = sid;
  t.ruid = ids.ruid;
  t.euid = ids.euid;
  t.rgid = ids.rgid;
  t.egid = ids.egid;
  t.kernel = kernel ? 1 : 0;
  t.start_boot_ns = std::uint64_t{pid} * 1'000'000'000;
  return t;
}

watch_task startedAt(watch_task t, std::uint64_t seconds) {
  t.start_boot_ns = seconds * 1'000'000'000;
  return t;
}

// The fixture shell (pid 100) as the kernel sees it.
const watch_task kShell = task(100, 1, 100, 100);

template <class Fixed>
Record bytesOf(const Fixed& fixed, std::string_view tail = {}) {
  Record r(sizeof fixed + tail.size());
  std::memcpy(r.data(), &fixed, sizeof fixed);
  if (!tail.empty()) std::memcpy(r.data() + sizeof fixed, tail.data(), tail.size());
  return r;
}

Record forkOf(const watch_task& parent, const watch_task& child, std::uint64_t at = 1000) {
  watch_fork_record r{};
  r.header = {WATCH_RECORD_FORK, 0, at};
  r.parent = parent;
  r.child = child;
  return bytesOf(r);
}

Record exitOf(const watch_task& t, std::uint32_t status, std::uint64_t at = 3000) {
  watch_exit_record r{};
  r.header = {WATCH_RECORD_EXIT, 0, at};
  r.task = t;
  r.status = status;
  return bytesOf(r);
}

// A path as the programs walk it: leaf first, each component one length byte and its bytes.
std::string components(std::string_view path) {
  std::string out;
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    if (end > begin) {
      out += static_cast<char>(end - begin);
      out.append(path.substr(begin, end - begin));
    }
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  return out;
}

// One exec as the programs capture it.
struct Exec {
  watch_task task;
  std::uint32_t flags = 0;
  watch_creds caller{};
  std::string path = "/opt/fixture/bin/tool";
  std::string args = std::string("tool\0-x\0", 8);
  std::string envs = std::string("K=V\0", 4);
  std::uint64_t at = 2000;
  // What the record holds in place of the path's components, and sizes it claims beyond what it
  // holds.
  std::optional<std::string> rawPath = std::nullopt;
  std::optional<std::uint32_t> envBytes = std::nullopt;
};

// Every field of the executable's status apart from the others.
Record execOf(const Exec& e) {
  const std::string path = e.rawPath.value_or(components(e.path));
  watch_exec_record r{};
  r.header = {WATCH_RECORD_EXEC, e.flags, e.at};
  r.task = e.task;
  r.caller = e.caller;
  r.dev = (std::uint64_t{8} << 20) | 3;  // the kernel's encoding of 8:3
  r.ino = 777001;
  r.size = 4321;
  r.atime_sec = 11;
  r.mtime_sec = 12;
  r.ctime_sec = 13;
  r.atime_nsec = 21;
  r.mtime_nsec = 22;
  r.ctime_nsec = 23;
  r.mode = S_IFREG | 0755;
  r.nlink = 2;
  r.uid = 5;
  r.gid = 6;
  r.path_bytes = static_cast<std::uint32_t>(path.size());
  r.args_bytes = static_cast<std::uint32_t>(e.args.size());
  r.env_bytes = e.envBytes.value_or(static_cast<std::uint32_t>(e.envs.size()));
  r.args_total = r.args_bytes;
  r.env_total = r.env_bytes;
  return bytesOf(r, path + e.args + e.envs);
}

Record cut(Record r, std::size_t size) {
  r.resize(size);
  return r;
}

// Everything a case may look at, as text: "<i>" is the kind of event i, "<i>.process.<field>"
// and "<i>.other.<field>" its process and its exec target or fork child; "table" lists the
// table's pids and "table.<pid>.<field>" its images; "sighted" what the sightings were told;
// "cut", "incomplete", "pressed", "pressure" what the source is given to log.
using Flat = std::map<std::string, std::string>;

std::string text(es_string_token_t t) {
  return t.data == nullptr ? std::string("unknown") : std::string(t.data, t.length);
}

std::string joined(const std::vector<std::string_view>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "|" : "") + std::string(parts[i]);
  return out;
}

std::string block(const std::shared_ptr<const std::string>& b) {
  return b ? joined(splitNulList(*b)) : "none";
}

std::string idsOf(const audit_token_t& token) {
  return std::to_string(audit_token_to_ruid(token)) + "/" +
         std::to_string(audit_token_to_euid(token)) + "/" +
         std::to_string(audit_token_to_rgid(token)) + "/" +
         std::to_string(audit_token_to_egid(token));
}

std::string fileOf(const es_file_t& f) {
  const auto time = [](const timespec& t) {
    return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
  };
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(f.stat.st_mode));
  return std::to_string(major(f.stat.st_dev)) + ":" + std::to_string(minor(f.stat.st_dev)) +
         " ino " + std::to_string(f.stat.st_ino) + " size " + std::to_string(f.stat.st_size) +
         " mode " + mode + " links " + std::to_string(f.stat.st_nlink) + " owner " +
         std::to_string(f.stat.st_uid) + ":" + std::to_string(f.stat.st_gid) + " times " +
         time(f.stat.st_atimespec) + " " + time(f.stat.st_mtimespec) + " " +
         time(f.stat.st_ctimespec);
}

class BpfTrackerTest : public ::testing::Test {
 protected:
  static std::set<es_event_type_t> all() {
    return {ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_FORK, ES_EVENT_TYPE_NOTIFY_EXIT};
  }

  class Sighted final : public FileObserver {
   public:
    void executed(const ProcessImage& p) override {
      seen += (seen.empty() ? "" : ";") + (p.exe ? p.exe->path : "unknown") + "[" + block(p.args) +
              "][" + block(p.envs) + "]";
    }
    void written(const std::string&, const ProcessImage&) override {}
    std::string seen;
  };

  // One tracker with its table, filled from the fixture tree: the shell (pid 100, started 42.42 s
  // after boot) and a kernel thread (pid 2).
  struct Harness {
    Harness(const FakeProc& proc, std::set<es_event_type_t> kinds)
        : wanted(std::move(kinds)),
          tracker(
              table, executables, sightings,
              [this](es_event_type_t type) { return wanted.count(type) > 0; },
              ProcReader(proc.root())) {
      sightings.add(&sighted);
      tracker.rescan();
    }
    ~Harness() { sightings.remove(&sighted); }

    ProcessTable table;
    ExecutableCache executables{nullptr};
    FileSightings sightings;
    Sighted sighted;
    std::set<es_event_type_t> wanted;
    BpfTracker tracker;
  };

  BpfTrackerTest() {
    FakeProcess shell;
    shell.pid = 100;
    shell.pgrp = 100;
    shell.session = 100;
    shell.ruid = kUser.ruid;
    shell.euid = kUser.euid;
    shell.rgid = kUser.rgid;
    shell.egid = kUser.egid;
    shell.exe = "sh";
    shell.args = std::string("sh\0", 3);
    proc_.put(shell);
    FakeProcess kthreadd;
    kthreadd.pid = 2;
    kthreadd.ppid = 0;
    kthreadd.kernel = true;
    proc_.put(kthreadd);
  }

  // Feeds `records` to a fresh tracker and says what came of them.
  Flat run(const std::vector<Record>& records, std::set<es_event_type_t> wanted) {
    Harness h(proc_, std::move(wanted));
    Flat out;
    std::size_t events = 0;
    for (const Record& r : records) {
      std::unique_ptr<PendingEvent> event = h.tracker.handle(r.data(), r.size());
      if (event) addEvent(out, std::to_string(events++), *event);
    }
    out["events"] = std::to_string(events);
    std::set<pid_t> pids;
    for (const ProcessImage& image : h.table.snapshot()) {
      pids.insert(image.pid);
      const std::string prefix = "table." + std::to_string(image.pid) + ".";
      ProcessView view;
      view.fill(image, 0);
      addProcess(out, prefix, view.process);
      out[prefix + "args"] = block(image.args);
      out[prefix + "envs"] = block(image.envs);
      out[prefix + "kernel"] = image.kernel ? "yes" : "no";
    }
    std::string list;
    for (const pid_t pid : pids) list += (list.empty() ? "" : ",") + std::to_string(pid);
    out["table"] = list;
    out["sighted"] = h.sighted.seen;
    const BpfTracker::CaptureLosses losses = h.tracker.takeCaptureLosses();
    out["cut"] = std::to_string(losses.cut);
    out["incomplete"] = std::to_string(losses.incomplete);
    std::string pressed;
    for (const auto& [uid, count] : losses.pressed) {
      pressed += (pressed.empty() ? "" : ",") + std::to_string(uid) + ":" + std::to_string(count);
    }
    out["pressed"] = pressed;
    out["pressure"] = h.tracker.takeCutUnderPressure() ? "yes" : "no";
    return out;
  }

  void addEvent(Flat& out, const std::string& index, PendingEvent& pending) {
    es_message_t m{};
    m.event_type = pending.type;
    pending.fill(m, 0);
    out[index + ".at"] = std::to_string(pending.monotonicNs);
    addProcess(out, index + ".process.", *m.process);
    if (pending.type == ES_EVENT_TYPE_NOTIFY_EXEC) {
      out[index] = "exec";
      addProcess(out, index + ".other.", *m.event.exec.target);
      std::vector<std::string_view> args;
      for (std::uint32_t i = 0; i < m.event.exec.arg_count; ++i) {
        args.emplace_back(m.event.exec.args[i].data, m.event.exec.args[i].length);
      }
      std::vector<std::string_view> envs;
      for (std::uint32_t i = 0; i < m.event.exec.env_count; ++i) {
        envs.emplace_back(m.event.exec.envs[i].data, m.event.exec.envs[i].length);
      }
      out[index + ".args"] = joined(args);
      out[index + ".envs"] = joined(envs);
    } else if (pending.type == ES_EVENT_TYPE_NOTIFY_FORK) {
      out[index] = "fork";
      addProcess(out, index + ".other.", *m.event.fork.child);
    } else {
      out[index] = "exit";
      out[index + ".status"] = std::to_string(m.event.exit.stat);
    }
  }

  void addProcess(Flat& out, const std::string& prefix, const es_process_t& p) const {
    out[prefix + "pid"] = std::to_string(audit_token_to_pid(p.audit_token));
    out[prefix + "ppid"] = std::to_string(p.ppid);
    out[prefix + "oppid"] = std::to_string(p.original_ppid);
    out[prefix + "pgid"] = std::to_string(p.group_id);
    out[prefix + "sid"] = std::to_string(p.session_id);
    out[prefix + "ids"] = idsOf(p.audit_token);
    out[prefix + "start"] = startOf(p.start_time);
    std::string path = text(p.executable->path);
    const std::string bin = proc_.program("");
    if (path.starts_with(bin)) path = "fixture:" + path.substr(bin.size());
    out[prefix + "path"] = path;
    out[prefix + "truncated"] = p.executable->path_truncated ? "yes" : "no";
    out[prefix + "file"] = fileOf(*p.executable);
  }

  // Milliseconds after boot: the clocks' offset is read anew now and then, but not that coarsely.
  static std::string startOf(const timeval& t) {
    const double us = static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec) -
                      static_cast<double>(bootWallClockNs()) / 1e3;
    return std::to_string(std::llround(us / 1e3)) + "ms";
  }

  FakeProc proc_;
};

struct Case {
  const char* name;
  std::vector<Record> records;
  std::vector<std::pair<std::string, std::string>> expected;
  std::set<es_event_type_t> wanted = {ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_FORK,
                                      ES_EVENT_TYPE_NOTIFY_EXIT};  // the kinds subscribed
};

TEST_F(BpfTrackerTest, RecordsMakeTheirEventsAndKeepTheTable) {
  const watch_task child = task(200, 100, 100, 100);
  const Case cases[] = {
      {"a child's fork, exec and exit, in order",
       {forkOf(kShell, child), execOf({.task = child}), exitOf(child, 3 << 8)},
       {{"events", "3"},
        {"0", "fork"},
        {"0.at", "1000"},
        {"0.process.pid", "100"},
        {"0.process.path", "fixture:sh"},
        {"0.process.start", "42420ms"},
        {"0.other.pid", "200"},
        {"0.other.ppid", "100"},
        {"0.other.oppid", "100"},
        {"0.other.path", "fixture:sh"},  // a fork keeps the image
        {"0.other.start", "200000ms"},
        {"1", "exec"},
        {"1.at", "2000"},
        {"1.process.path", "fixture:sh"},  // the image before the exec
        {"1.other.path", "/opt/fixture/bin/tool"},
        {"1.other.truncated", "no"},
        {"1.other.file",
         "8:3 ino 777001 size 4321 mode 100755 links 2 owner 5:6 times 11.21 12.22 13.23"},
        {"1.args", "tool|-x"},
        {"1.envs", "K=V"},
        {"2", "exit"},
        {"2.at", "3000"},
        {"2.process.path", "/opt/fixture/bin/tool"},  // the image it ended in
        {"2.status", "768"},
        {"table", "2,100"},
        {"sighted", "/opt/fixture/bin/tool[tool|-x][K=V]"},
        {"cut", "0"},
        {"incomplete", "0"},
        {"pressure", "no"}}},
      {"an exec keeps the process's start and original parent; parent, group and session are the "
       "current ones, also for the image before it (reparented, setsid)",
       {forkOf(kShell, child), execOf({.task = startedAt(task(200, 1, 200, 200), 250)})},
       {{"1.process.ppid", "1"},
        {"1.process.pgid", "200"},
        {"1.process.sid", "200"},
        {"1.process.oppid", "100"},
        {"1.process.start", "200000ms"},
        {"1.other.ppid", "1"},
        {"1.other.pgid", "200"},
        {"1.other.sid", "200"},
        {"1.other.oppid", "100"},
        {"1.other.start", "200000ms"},
        {"table.200.oppid", "100"},
        {"table.200.start", "200000ms"},
        {"table.200.path", "/opt/fixture/bin/tool"},
        {"table.200.args", "tool|-x"},
        {"table.200.envs", "none"}}},  // the environment leaves with the event
      {"the exec of a process the table does not know: the new image is all there is",
       {execOf({.task = task(300, 100, 100, 100)})},
       {{"events", "1"},
        {"0.process.pid", "300"},
        {"0.process.path", "/opt/fixture/bin/tool"},
        {"0.process.oppid", "100"},
        {"0.process.start", "300000ms"},
        {"0.other.start", "300000ms"},
        {"table", "2,100,300"}}},
      {"a setuid() before the exec: its process has the caller's ids, the new image the kernel's",
       {forkOf(kShell, child),
        execOf({.task = task(200, 100, 100, 100, {2000, 0, 2100, 0}),
                .flags = WATCH_EXEC_CALLER_KNOWN,
                .caller = {2000, 2001, 2100, 2101}})},
       {{"1.process.ids", "2000/2001/2100/2101"},
        {"1.other.ids", "2000/0/2100/0"},
        {"table.200.ids", "2000/0/2100/0"}}},
      {"without the caller's ids (kernels before 6.10), the exec's process has those of its fork",
       {forkOf(kShell, child),
        execOf({.task = task(200, 100, 100, 100, {2000, 0, 2100, 0}),
                .caller = {2000, 2001, 2100, 2101}})},
       {{"1.process.ids", "1000/1001/100/101"}, {"1.other.ids", "2000/0/2100/0"}}},
      {"an exec nobody subscribed to is kept and told to the sightings",
       {execOf({.task = task(300, 100, 100, 100)})},
       {{"events", "0"},
        {"table.300.path", "/opt/fixture/bin/tool"},
        {"sighted", "/opt/fixture/bin/tool[tool|-x][K=V]"}},
       {ES_EVENT_TYPE_NOTIFY_FORK, ES_EVENT_TYPE_NOTIFY_EXIT}},
      {"an exec whose new image, arguments or environment could not be read",
       {execOf({.task = task(300, 100, 100, 100), .flags = WATCH_EXEC_NO_FILE, .path = ""}),
        execOf({.task = task(301, 100, 100, 100),
                .flags = WATCH_EXEC_ARGS_UNREADABLE | WATCH_EXEC_ENV_UNREADABLE,
                .args = "",
                .envs = ""})},
       {{"0.other.path", "unknown"},
        {"0.args", "tool|-x"},
        {"table.300.path", "unknown"},
        {"1.other.path", "/opt/fixture/bin/tool"},
        {"1.args", ""},
        {"table.301.args", "none"},
        {"sighted", "unknown[tool|-x][K=V];/opt/fixture/bin/tool[none][none]"},
        {"incomplete", "2"},
        {"cut", "0"}}},
      {"a path cut at the capture limit",
       {execOf({.task = task(300, 100, 100, 100),
                .flags = WATCH_EXEC_PATH_TRUNCATED,
                .path = "/deep/tool"})},
       {{"0.other.path", "/deep/tool"},
        {"0.other.truncated", "yes"},
        {"cut", "1"},
        {"incomplete", "0"}}},
      {"a component that overruns the path is left out; no component is the root; sizes beyond "
       "the record are cut to what it holds",
       {execOf({.task = task(300, 100, 100, 100), .rawPath = components("/bin/tool") + "\x32" "ab"}),
        execOf({.task = task(301, 100, 100, 100), .path = ""}),
        execOf({.task = task(302, 100, 100, 100), .envBytes = 100})},
       {{"0.other.path", "/bin/tool"},
        {"0.args", "tool|-x"},
        {"1.other.path", "/"},
        {"2.envs", "K=V"}}},
      {"cuts under ring pressure are counted per real uid, apart from cuts at the capture limits",
       {execOf({.task = task(300, 100, 100, 100),
                .flags = WATCH_EXEC_CUT_UNDER_PRESSURE | WATCH_EXEC_ARGS_TRUNCATED}),
        execOf({.task = task(301, 100, 100, 100),
                .flags = WATCH_EXEC_CUT_UNDER_PRESSURE | WATCH_EXEC_ENV_TRUNCATED}),
        execOf({.task = task(302, 100, 100, 100, kRoot),
                .flags = WATCH_EXEC_CUT_UNDER_PRESSURE | WATCH_EXEC_PATH_TRUNCATED}),
        execOf({.task = task(303, 100, 100, 100), .flags = WATCH_EXEC_ARGS_TRUNCATED}),
        execOf({.task = task(304, 100, 100, 100), .flags = WATCH_EXEC_ENV_TRUNCATED})},
       {{"pressed", "0:1,1000:2"}, {"pressure", "yes"}, {"cut", "3"}, {"incomplete", "0"}}},
      {"a fork: the parent as the kernel sees it now (setpgid, setsid, setuid, reparented), the child as "
       "its part of the record says",
       {forkOf(task(100, 50, 150, 140, {10, 11, 12, 13}),
               startedAt(task(201, 100, 151, 161, {5, 6, 7, 8}), 201))},
       {{"0.process.ppid", "50"},
        {"0.process.pgid", "150"},
        {"0.process.sid", "140"},
        {"0.process.ids", "10/11/12/13"},
        {"0.process.oppid", "1"},
        {"0.process.start", "42420ms"},
        {"0.process.path", "fixture:sh"},
        {"0.other.ppid", "100"},
        {"0.other.oppid", "100"},
        {"0.other.pgid", "151"},
        {"0.other.sid", "161"},
        {"0.other.ids", "5/6/7/8"},
        {"0.other.start", "201000ms"},
        {"0.other.path", "fixture:sh"},
        {"table.100.pgid", "150"},
        {"table.100.ids", "10/11/12/13"},
        {"table.100.ppid", "50"},
        {"table.201.args", "sh"},
        {"table.201.kernel", "no"}}},
      {"a fork by a parent the table does not know: the record's view of it",
       {forkOf(task(500, 1, 500, 500), task(501, 500, 500, 500))},
       {{"0.process.pid", "500"},
        {"0.process.path", "unknown"},
        {"0.process.start", "500000ms"},
        {"0.process.oppid", "1"},
        {"0.other.oppid", "500"},
        {"table", "2,100,500,501"}}},
      {"kernel threads are kept, never reported",
       {forkOf(task(2, 0, 0, 0, kRoot, true), task(300, 2, 0, 0, kRoot, true))},
       {{"events", "0"}, {"table.300.kernel", "yes"}, {"table", "2,100,300"}}},
      {"a kernel thread's exit is not reported",
       {forkOf(task(2, 0, 0, 0, kRoot, true), task(300, 2, 0, 0, kRoot, true)),
        exitOf(task(300, 2, 0, 0, kRoot, true), 0)},
       {{"events", "0"}, {"table", "2,100"}}},
      {"a user-mode helper forked by a kernel thread is reported from then on",
       {forkOf(task(2, 0, 0, 0, kRoot, true), task(300, 2, 0, 0, kRoot)),
        exitOf(task(300, 2, 0, 0, kRoot), 0)},
       {{"events", "1"}, {"0", "exit"}, {"0.process.pid", "300"}}},
      {"a pid taken by a kernel thread while its exit was lost: the record says kernel",
       {forkOf(task(100, 2, 0, 0, kRoot, true), task(300, 100, 0, 0, kRoot, true))},
       {{"events", "0"}, {"table.100.kernel", "yes"}}},
      {"an exit carries the parent, group, session and ids the kernel saw at the end",
       {exitOf(task(100, 50, 160, 170, {7, 8, 9, 10}), 9)},
       {{"0", "exit"},
        {"0.process.ppid", "50"},
        {"0.process.pgid", "160"},
        {"0.process.sid", "170"},
        {"0.process.ids", "7/8/9/10"},
        {"0.process.oppid", "1"},
        {"0.process.start", "42420ms"},
        {"0.process.path", "fixture:sh"},
        {"0.status", "9"},
        {"table", "2"}}},
      {"the exit of a process the table does not know",
       {exitOf(task(600, 100, 100, 100), 0)},
       {{"events", "1"},
        {"0.process.pid", "600"},
        {"0.process.path", "unknown"},
        {"0.process.start", "600000ms"}}},
      {"a fork nobody subscribed to is kept",
       {forkOf(kShell, child)},
       {{"events", "0"}, {"table", "2,100,200"}},
       {ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_EXIT}},
      {"an exit nobody subscribed to leaves the table",
       {exitOf(kShell, 0)},
       {{"events", "0"}, {"table", "2"}},
       {ES_EVENT_TYPE_NOTIFY_EXEC, ES_EVENT_TYPE_NOTIFY_FORK}},
      {"records shorter than their kind's, and of no kind, change nothing",
       {cut(forkOf(kShell, child), sizeof(watch_fork_record) - 1),
        cut(execOf({.task = task(300, 100, 100, 100), .path = "", .args = "", .envs = ""}),
            sizeof(watch_exec_record) - 1),
        cut(exitOf(kShell, 0), sizeof(watch_exit_record) - 1),
        cut(exitOf(kShell, 0), sizeof(watch_record_header) - 1),
        [] {
          Record r = exitOf(kShell, 0);
          r[0] = 9;  // the kind
          return r;
        }()},
       {{"events", "0"}, {"table", "2,100"}, {"sighted", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Flat seen = run(c.records, c.wanted);
    for (const auto& [key, value] : c.expected) {
      const auto it = seen.find(key);
      EXPECT_EQ(it == seen.end() ? "(absent)" : it->second, value) << key;
    }
  }
}

TEST_F(BpfTrackerTest, AnEventStillHeldKeepsItsOwnEnvironmentWhileLaterExecsComeIn) {
  // Events may wait in the delivery queue while the reader goes on: the buffers the reader reuses
  // for later environments must not be the held event's.
  Harness h(proc_, all());
  const auto execWith = [&](std::uint32_t pid, std::string envs) {
    const Record r = execOf({.task = task(pid, 100, 100, 100), .envs = std::move(envs)});
    return h.tracker.handle(r.data(), r.size());
  };
  std::unique_ptr<PendingEvent> held = execWith(300, std::string("FIRST=1\0", 8));
  ASSERT_NE(held, nullptr);
  for (std::uint32_t pid = 301; pid < 304; ++pid) {
    ASSERT_NE(execWith(pid, std::string("LATER=2\0", 8)), nullptr);  // delivered and let go
  }
  Flat seen;
  addEvent(seen, "0", *held);
  EXPECT_EQ(seen["0.envs"], "FIRST=1");
  held.reset();
  // Once let go, the next exec still gets its own.
  std::unique_ptr<PendingEvent> next = execWith(304, std::string("NEXT=3\0", 7));
  Flat after;
  addEvent(after, "0", *next);
  EXPECT_EQ(after["0.envs"], "NEXT=3");
}

TEST_F(BpfTrackerTest, CountsAreTakenOnce) {
  Harness h(proc_, all());
  const Record r = execOf(
      {.task = task(300, 100, 100, 100),
       .flags = WATCH_EXEC_CUT_UNDER_PRESSURE | WATCH_EXEC_PATH_TRUNCATED | WATCH_EXEC_NO_FILE});
  h.tracker.handle(r.data(), r.size());
  const BpfTracker::CaptureLosses first = h.tracker.takeCaptureLosses();
  EXPECT_EQ(first.cut, 1u);
  EXPECT_EQ(first.incomplete, 1u);
  EXPECT_EQ(first.pressed.size(), 1u);
  EXPECT_TRUE(h.tracker.takeCutUnderPressure());
  const BpfTracker::CaptureLosses second = h.tracker.takeCaptureLosses();
  EXPECT_EQ(second.cut, 0u);
  EXPECT_EQ(second.incomplete, 0u);
  EXPECT_TRUE(second.pressed.empty());
  EXPECT_FALSE(h.tracker.takeCutUnderPressure());
}

TEST_F(BpfTrackerTest, RescanReadsTheTreeAgainKeepingAnOriginalParentWhileTheParentStays) {
  Harness h(proc_, all());
  // 200 was reparented to 1 before its exec, 201 is still the shell's child in the table.
  for (const Record& r :
       {forkOf(kShell, task(200, 100, 100, 100)), execOf({.task = task(200, 1, 100, 100)}),
        forkOf(kShell, task(201, 100, 100, 100))}) {
    h.tracker.handle(r.data(), r.size());
  }
  FakeProcess orphan;
  orphan.pid = 200;
  orphan.ppid = 1;
  orphan.exe = "tool";
  proc_.put(orphan);
  orphan.pid = 201;  // reparented since the table's last record of it
  proc_.put(orphan);
  proc_.remove(2);
  h.tracker.rescan();
  EXPECT_EQ(h.table.pids().size(), 3u);
  EXPECT_FALSE(h.table.find(2).has_value());
  EXPECT_EQ(h.table.find(200)->exe->path, proc_.program("tool"));
  EXPECT_EQ(h.table.find(200)->originalPpid, 100);  // the parent the table knew: still the fork's
  EXPECT_EQ(h.table.find(201)->ppid, 1);
  EXPECT_EQ(h.table.find(201)->originalPpid, 1);  // a new parent: the old original is not kept
}

}  // namespace
