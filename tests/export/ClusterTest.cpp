// watchexport against a real three-node JetStream cluster on loopback: a storm from two machines
// arrives once and in order per machine (and `watchctl fleet tail` filters it); one server failing,
// then all three for ten seconds, loses and duplicates nothing; an exporter restarted mid-storm
// duplicates nothing and logs the gap; one restarted with an empty state directory loses nothing
// to the stream's duplicate check; resent documents are stored once; `watchexport create-stream`
// defines the stream; and the real agent's documents reach the stream under their kinds. One
// cluster serves every case; each case exports as hosts of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "ipc/Identifiers.h"
#include "tests/export/ExportFixture.h"

namespace {

using namespace export_test;
using namespace std::chrono_literals;
using json = nlohmann::json;

// What a host's messages say about a storm of numbered documents.
struct Delivery {
  std::vector<std::int64_t> numbers;  // in stream order
  std::size_t duplicates = 0;
  std::size_t outOfOrder = 0;           // a number not above the one before it
  std::size_t sequenceRegressions = 0;  // (epoch, sequence) not above the one before
  std::size_t wrongHost = 0;
  std::vector<json> notices;
};

Delivery examine(const std::vector<fleet::FleetMessage>& messages, const std::string& host) {
  Delivery d;
  std::set<std::int64_t> seen;
  std::pair<std::uint64_t, std::uint64_t> last{0, 0};
  for (const auto& m : messages) {
    if (m.host != host || !m.subject.starts_with("corvane.events." + host + ".")) ++d.wrongHost;
    const std::pair<std::uint64_t, std::uint64_t> position{m.epoch, m.sequence};
    if (position <= last) ++d.sequenceRegressions;
    last = position;
    const auto n = stormNumber(m);
    if (n < 0) {
      d.notices.push_back(json::parse(m.document, nullptr, false));
      continue;
    }
    if (!seen.insert(n).second) ++d.duplicates;
    if (!d.numbers.empty() && n <= d.numbers.back()) ++d.outOfOrder;
    d.numbers.push_back(n);
  }
  return d;
}

// Numbers in [first, end) that never arrived.
std::vector<std::int64_t> missing(const Delivery& d, std::int64_t first, std::int64_t end) {
  std::set<std::int64_t> have(d.numbers.begin(), d.numbers.end());
  std::vector<std::int64_t> out;
  for (auto n = first; n < end; ++n) {
    if (!have.contains(n)) out.push_back(n);
  }
  return out;
}

bool contains(const std::vector<std::string>& lines, std::string_view text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

std::string describe(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

// The lines `watchctl fleet tail` prints with these arguments, once it has been idle a second.
std::vector<std::string> tail(const std::string& arguments) {
  const std::string command = std::string(WATCHCTL_PATH) + " fleet tail --idle 1 " + arguments;
  std::vector<std::string> lines;
  FILE* out = ::popen(command.c_str(), "r");
  if (!out) return lines;
  std::string line;
  for (int c; (c = std::fgetc(out)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    lines.push_back(std::move(line));
    line.clear();
  }
  EXPECT_EQ(::pclose(out), 0) << command;
  return lines;
}

// What `watchctl fleet tail` shows of the storm of two machines.
void checkTail(const std::string& servers) {
  const auto forks = tail("--server " + servers + " --host storm-a --kind FORK");
  ASSERT_EQ(forks.size(), 3000u);
  for (std::size_t i = 0; i < forks.size(); ++i) {
    const auto document = json::parse(forks[i], nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << forks[i];
    ASSERT_EQ(document["process"]["pid"], i);
  }
  const auto notices = tail("--server " + servers + " --kind EXPORTER --envelope");
  std::set<std::string> hosts;
  for (const auto& line : notices) {
    const auto envelope = json::parse(line, nullptr, false);
    ASSERT_FALSE(envelope.is_discarded()) << line;
    EXPECT_EQ(envelope["subject"],
              "corvane.events." + envelope["host"].get<std::string>() + ".EXPORTER");
    EXPECT_EQ(envelope["document"]["notice"], "gap");
    EXPECT_GT(envelope["sequence"], 0);
    hosts.insert(envelope["host"]);
  }
  EXPECT_TRUE(hosts.contains("storm-a") && hosts.contains("storm-b")) << notices.size();
  EXPECT_EQ(tail("--server " + servers + " --host nobody").size(), 0u);
}

class ClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::geteuid() != 0) return;  // the agent's socket admits root only
    dir_ = new TempDir();
    cluster_ = new NatsCluster(dir_->path() / "cluster");
    clusterError_ = cluster_->startAll() ? cluster_->createStream(60s)
                                         : "a server did not start: " + cluster_->log(0);
  }
  static void TearDownTestSuite() {
    delete cluster_;
    delete dir_;
    cluster_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the agent's service admits root only";
    ASSERT_EQ(clusterError_, "");
    ASSERT_TRUE(cluster_->startAll());
  }

  // An exporter for `host`, following the agent under `services`.
  std::unique_ptr<ExporterProcess> exporter(const std::string& host, const fs::path& services) {
    return std::make_unique<ExporterProcess>(
        WATCHEXPORT_PATH,
        std::vector<std::string>{"--server", cluster_->urlList(), "--host-id", host, "--state-dir",
                                 (dir_->path() / host).string(), "--ack-wait", "2000"},
        services, dir_->path() / (host + ".log"));
  }

  static inline TempDir* dir_ = nullptr;
  static inline NatsCluster* cluster_ = nullptr;
  static inline std::string clusterError_;
};

TEST_F(ClusterTest, StormFromTwoMachinesArrivesOnceInOrderPerMachineAndTailFiltersIt) {
  const std::string hosts[2] = {"storm-a", "storm-b"};
  std::vector<std::unique_ptr<StormAgent>> agents;
  std::vector<std::unique_ptr<ExporterProcess>> exporters;
  for (const auto& host : hosts) {
    const fs::path services = dir_->path() / (host + "-xpc");
    agents.push_back(std::make_unique<StormAgent>(services));
    exporters.push_back(exporter(host, services));
    exporters.back()->start();
    ASSERT_TRUE(agents.back()->waitForClients(1, 10s)) << describe(exporters.back()->logLines());
  }
  constexpr std::uint64_t kCount = 3000;
  for (auto& agent : agents) agent->startStorm(0, 3000, kCount);
  std::uint64_t ends[2];
  for (int i = 0; i < 2; ++i) ends[i] = agents[i]->wait();

  for (int i = 0; i < 2; ++i) {
    const auto messages = readHost(cluster_->urls(), hosts[i], ends[i], 30s, 500ms);
    const Delivery d = examine(messages, hosts[i]);
    EXPECT_EQ(d.numbers.size(), ends[i]) << hosts[i];
    EXPECT_EQ(missing(d, 0, static_cast<std::int64_t>(ends[i])), std::vector<std::int64_t>{});
    EXPECT_EQ(d.duplicates, 0u);
    EXPECT_EQ(d.outOfOrder, 0u);
    EXPECT_EQ(d.sequenceRegressions, 0u);
    EXPECT_EQ(d.wrongHost, 0u);
    // The first message says what came before this exporter is unknown.
    ASSERT_FALSE(d.notices.empty());
    EXPECT_EQ(d.notices[0]["notice"], "gap");
    EXPECT_EQ(d.notices[0]["cause"], "exporter started");
  }
  SCOPED_TRACE("watchctl fleet tail");
  checkTail(cluster_->urlList());
  // A clean stop ends with status 0 (and no sanitizer report), and says it stopped.
  for (auto& e : exporters) {
    EXPECT_EQ(e->stop(), 0) << describe(e->logLines());
    const auto lines = e->logLines();
    EXPECT_TRUE(contains(lines, "watchexport: stopped; ")) << describe(lines);
    EXPECT_FALSE(contains(lines, "lost the NATS connection")) << describe(lines);
  }
}

TEST_F(ClusterTest, OneServerThenAllThreeDownForTenSecondsLoseAndDuplicateNothing) {
  const std::string host = "outage";
  const fs::path services = dir_->path() / "outage-xpc";
  StormAgent agent(services);
  auto process = exporter(host, services);
  process->start();
  ASSERT_TRUE(agent.waitForClients(1, 10s)) << describe(process->logLines());

  agent.startStorm(0, 1000);
  std::this_thread::sleep_for(1500ms);
  cluster_->kill(0);
  std::this_thread::sleep_for(2s);
  for (int i = 0; i < NatsCluster::kSize; ++i) cluster_->kill(i);
  std::this_thread::sleep_for(10s);
  ASSERT_TRUE(cluster_->startAll());
  std::this_thread::sleep_for(2s);
  const std::uint64_t end = agent.stop();

  const auto messages = readHost(cluster_->urls(), host, end, 60s, 1s);
  const Delivery d = examine(messages, host);
  const auto lines = process->logLines();
  EXPECT_EQ(missing(d, 0, static_cast<std::int64_t>(end)).size(), 0u) << describe(lines);
  EXPECT_EQ(d.numbers.size(), end);
  EXPECT_EQ(d.duplicates, 0u);
  EXPECT_EQ(d.outOfOrder, 0u);
  EXPECT_EQ(d.sequenceRegressions, 0u);
  EXPECT_TRUE(contains(lines, "watchexport: JetStream stores again after")) << describe(lines);
  EXPECT_FALSE(contains(lines, "order broken")) << describe(lines);
  EXPECT_EQ(process->stop(), 0) << describe(process->logLines());
  RecordProperty("documents", static_cast<int>(end));
}

TEST_F(ClusterTest, ExporterRestartedMidStormDuplicatesNothingAndLogsTheGap) {
  const struct {
    const char* host;
    bool kill;
  } cases[] = {{"restart-kill", true}, {"restart-term", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    const fs::path services = dir_->path() / (std::string(c.host) + "-xpc");
    StormAgent agent(services);
    auto process = exporter(c.host, services);
    process->start();
    ASSERT_TRUE(agent.waitForClients(1, 10s)) << describe(process->logLines());
    agent.startStorm(0, 1000);
    std::this_thread::sleep_for(1500ms);
    const std::uint64_t stopping = agent.sent();
    const int status = process->stop(c.kill);
    if (!c.kill) {
      EXPECT_EQ(status, 0) << describe(process->logLines());
    }
    ASSERT_TRUE(agent.waitForClients(0, 10s));
    std::this_thread::sleep_for(500ms);
    process->start();
    ASSERT_TRUE(agent.waitForClients(1, 10s));
    const std::uint64_t up = agent.sent();
    std::this_thread::sleep_for(1500ms);
    const std::uint64_t end = agent.stop();

    // Documents that had reached the exporter before it was stopped may be in flight; allow a
    // few.
    constexpr std::int64_t kInFlight = 50;
    const Delivery d = examine(
        readHost(cluster_->urls(), c.host, end - (up - stopping) - kInFlight, 30s, 1s), c.host);
    EXPECT_EQ(d.duplicates, 0u);
    EXPECT_EQ(d.outOfOrder, 0u);
    EXPECT_EQ(d.sequenceRegressions, 0u);
    // What went missing is one run of documents around the restart, never before the stop.
    const auto lost = missing(d, 0, static_cast<std::int64_t>(end));
    ASSERT_FALSE(lost.empty());
    EXPECT_EQ(lost.back() - lost.front() + 1, static_cast<std::int64_t>(lost.size()));
    EXPECT_GE(lost.front(), static_cast<std::int64_t>(stopping) - kInFlight);
    EXPECT_LE(lost.back(), static_cast<std::int64_t>(up));
    // The gap is in the log and in the stream, right where it happened.
    const auto lines = process->logLines();
    EXPECT_TRUE(contains(lines, "what it reported before this exporter started"))
        << describe(lines);
    EXPECT_EQ(contains(lines, "the previous run did not stop cleanly"), c.kill);
    std::size_t gaps = 0;
    for (const auto& n : d.notices) gaps += n["notice"] == "gap" ? 1 : 0;
    EXPECT_EQ(gaps, 2u);
    EXPECT_EQ(process->stop(), 0) << describe(process->logLines());
  }
}

// A reinstall, a purge or a wiped /var/lib/watchexport starts the sequence at 1 again under the
// same host id; the new exporter epoch keeps the message ids apart from the stored ones, so the
// stream takes every new document, and the host's messages still read in order.
TEST_F(ClusterTest, ExporterRestartedWithAnEmptyStateDirectoryLosesNothing) {
  const std::string host = "state-reset";
  const fs::path services = dir_->path() / "state-reset-xpc";
  StormAgent agent(services);
  auto process = exporter(host, services);
  process->start();
  ASSERT_TRUE(agent.waitForClients(1, 10s)) << describe(process->logLines());
  agent.startStorm(0, 3000, 3000);
  const std::uint64_t before = agent.wait();
  ASSERT_EQ(examine(readHost(cluster_->urls(), host, before, 30s, 500ms), host).numbers.size(),
            before);
  ASSERT_EQ(process->stop(), 0);

  fs::remove_all(dir_->path() / host);
  process->start();
  ASSERT_TRUE(agent.waitForClients(1, 10s)) << describe(process->logLines());
  agent.startStorm(before, 1000, 300);
  const std::uint64_t end = agent.wait();
  const Delivery d = examine(readHost(cluster_->urls(), host, end, 30s, 1s), host);
  const auto lost = missing(d, static_cast<std::int64_t>(before), static_cast<std::int64_t>(end));
  std::cout << "[ figures  ] after a state reset: " << lost.size() << " of " << end - before
            << " documents dropped\n";
  EXPECT_EQ(lost.size(), 0u);
  EXPECT_EQ(d.numbers.size(), end);
  EXPECT_EQ(d.duplicates, 0u);
  EXPECT_EQ(d.outOfOrder, 0u);
  EXPECT_EQ(d.sequenceRegressions, 0u);
  ASSERT_EQ(process->stop(), 0);
  const auto lines = process->logLines();
  EXPECT_TRUE(contains(lines, "(0 of them resends the stream already had)")) << describe(lines);

  SCOPED_TRACE("watchctl fleet tail --envelope");
  const auto envelopes =
      tail("--server " + cluster_->urlList() + " --host " + host + " --envelope");
  ASSERT_EQ(envelopes.size(), d.numbers.size() + d.notices.size());
  std::pair<std::uint64_t, std::uint64_t> last{0, 0};
  std::set<std::uint64_t> epochs;
  for (const auto& line : envelopes) {
    const auto envelope = json::parse(line, nullptr, false);
    ASSERT_FALSE(envelope.is_discarded()) << line;
    const std::pair<std::uint64_t, std::uint64_t> position{envelope["epoch"], envelope["sequence"]};
    EXPECT_LT(last, position) << line;
    last = position;
    epochs.insert(position.first);
  }
  EXPECT_EQ(epochs.size(), 2u);
}

// `watchexport create-stream` on an existing stream updates it to the given settings.
TEST_F(ClusterTest, CreateStreamCommandDefinesTheStream) {
  const std::string command = std::string(WATCHEXPORT_PATH) + " create-stream --server " +
                              cluster_->urlList() + " --max-age 7200 > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  fleet::NatsSettings settings;
  settings.servers = cluster_->urls();
  std::string error;
  auto link = fleet::Link::open(settings, {}, error);
  ASSERT_TRUE(link) << error;
  jsStreamInfo* info = nullptr;
  jsErrCode code{};
  ASSERT_EQ(js_GetStreamInfo(&info, link->jetStream(), "CORVANE_EVENTS", nullptr, &code), NATS_OK);
  EXPECT_EQ(info->Config->MaxAge, 7200LL * 1000000000);
  EXPECT_EQ(info->Config->Replicas, 3);
  EXPECT_EQ(info->Config->Duplicates, 600LL * 1000000000);
  ASSERT_EQ(info->Config->SubjectsLen, 1);
  EXPECT_STREQ(info->Config->Subjects[0], "corvane.events.>");
  jsStreamInfo_Destroy(info);
}

// Documents sent again (here: the spool's acknowledged position wound back, as a lost
// acknowledgement or a crash would leave it) are recognised by their message ids and stored once.
TEST_F(ClusterTest, ResentDocumentsAreStoredOnce) {
  const std::string host = "resend";
  const fs::path services = dir_->path() / "resend-xpc";
  StormAgent agent(services);
  auto process = exporter(host, services);
  process->start();
  ASSERT_TRUE(agent.waitForClients(1, 10s)) << describe(process->logLines());
  agent.startStorm(0, 2000, 500);
  const std::uint64_t end = agent.wait();
  ASSERT_EQ(examine(readHost(cluster_->urls(), host, end, 20s, 200ms), host).numbers.size(), end);
  ASSERT_EQ(process->stop(), 0);

  std::ofstream(dir_->path() / host / "spool" / "acknowledged") << "0\n";
  process->start();
  ASSERT_TRUE(agent.waitForClients(1, 10s));
  std::this_thread::sleep_for(2s);
  ASSERT_EQ(process->stop(), 0);
  const auto lines = process->logLines();
  EXPECT_TRUE(contains(lines, "spooled documents from the previous run will be sent first"))
      << describe(lines);
  // The first run's notice and documents, resent in full.
  EXPECT_TRUE(contains(lines, "(" + std::to_string(end + 1) + " of them resends"))
      << describe(lines);

  const Delivery d = examine(readHost(cluster_->urls(), host, end, 20s, 1s), host);
  EXPECT_EQ(d.numbers.size(), end);
  EXPECT_EQ(d.duplicates, 0u);
  EXPECT_EQ(d.outOfOrder, 0u);
  EXPECT_EQ(d.notices.size(), 2u);  // one gap per exporter start
}

// The real agent and exporter: this machine's exec, fork and exit documents arrive under their
// kinds, each once.
TEST_F(ClusterTest, RealAgentDocumentsArriveUnderTheirKinds) {
  const fs::path services = dir_->path() / "agent-xpc";
  fs::create_directories(services);
  ExporterProcess agentProcess(WATCHAGENT_PATH, {}, services, dir_->path() / "agent.log");
  agentProcess.start();
  const fs::path socket = services / std::string(ipc::kMachServiceName);
  for (int i = 0; i < 300 && !fs::exists(socket); ++i) std::this_thread::sleep_for(100ms);
  if (!fs::exists(socket)) {
    if (contains(agentProcess.logLines(), "es_new_client")) GTEST_SKIP() << "no process connector";
    FAIL() << describe(agentProcess.logLines());
  }
  auto process = exporter("real-agent", services);
  process->start();
  // The exporter's gap notice marks the moment it is connected.
  auto start = readHost(cluster_->urls(), "real-agent", 0, 10s, 500ms);
  ASSERT_FALSE(start.empty()) << describe(process->logLines());

  std::vector<pid_t> children;
  for (int i = 0; i < 5; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      const char* argv[] = {"/bin/true", nullptr};
      ::execv(argv[0], const_cast<char* const*>(argv));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    children.push_back(child);
  }
  // Wait for every child's exit document, then take what the stream has.
  std::map<std::string, std::size_t> kinds;
  std::map<pid_t, std::vector<std::string>> perChild;
  for (int attempt = 0; attempt < 20; ++attempt) {
    perChild.clear();
    kinds.clear();
    for (const auto& m : readHost(cluster_->urls(), "real-agent", 0, 10s, 500ms)) {
      const auto document = json::parse(m.document, nullptr, false);
      if (document.is_discarded() || !document.contains("eventDesc")) continue;
      const std::string kind = document["eventDesc"];
      EXPECT_EQ(m.subject, "corvane.events.real-agent." + kind);
      ++kinds[kind];
      pid_t pid = 0;
      if (kind == "FORK") pid = document["fork"]["child"]["pid"];
      if (kind == "EXEC") pid = document["exec"]["target"]["pid"];
      if (kind == "EXIT") pid = document["process"]["pid"];
      if (std::find(children.begin(), children.end(), pid) != children.end()) {
        perChild[pid].push_back(kind);
      }
    }
    const bool complete = std::all_of(children.begin(), children.end(), [&](pid_t p) {
      return perChild.contains(p) && perChild[p].back() == "EXIT";
    });
    if (complete) break;
    std::this_thread::sleep_for(250ms);
  }
  for (const pid_t child : children) {
    EXPECT_EQ(perChild[child], (std::vector<std::string>{"FORK", "EXEC", "EXIT"}))
        << "child " << child;
  }
  EXPECT_EQ(process->stop(), 0) << describe(process->logLines());
  agentProcess.stop();
}

}  // namespace
