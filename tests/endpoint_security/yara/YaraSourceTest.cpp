// The YARA source end to end: the real eBPF process source, a rules folder the test writes, and
// copies of /bin/true with a marker appended that the test runs. Each file identity gives one
// document per rule set, naming the process that ran it; rules are compiled again when the folder
// changes; a broken rule file is logged and the others stay in force; a file over the size limit
// is skipped and counted without holding up what comes after it.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "platform/endpoint_security/launch_items/LaunchItemSource.h"
#include "platform/endpoint_security/process/BpfSource.h"
#include "platform/endpoint_security/yara/YaraSource.h"
#include "platform/log/Log.h"
#include "tests/endpoint_security/launch_items/SourceHarness.h"
#include "tests/support/TempDir.h"

using namespace platform::es;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kMarker = "watchagent-yara-test-marker-51c0";
const std::string kMarkerRule =
    std::string("rule Marker { strings: $m = \"") + kMarker + "\" condition: $m }\n";

// A detection of a file under `dir`: other tests running at the same time run marked programs
// of their own, which every process source of the machine sees.
bool isDetectionIn(const model::EsMessage& m, const fs::path& dir) {
  return m.xpMalwareDetected && m.xpMalwareDetected->detectedPath.rfind(dir.string() + "/", 0) == 0;
}

// The documented version: SHA-256 over the rule files in name order, each as name, NUL, length
// in decimal, NUL, content; its first 12 hex digits.
std::string versionOf(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    all += file.filename().string() + '\0' + std::to_string(content.size()) + '\0' + content;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(all.data(), all.size(), digest, &length, EVP_sha256(), nullptr);
  char hex[13];
  for (int i = 0; i < 6; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

class YaraSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the eBPF process source needs root";
    dir_ = tree_.emplace("yara-source").path();
    rules_ = dir_ / "rules";
    fs::create_directories(rules_);
    fs::create_directories(dir_ / "dpkg" / "info");
    writeRule("test.yar", kMarkerRule);
  }

  void TearDown() override {
    harness_.reset();
    tree_.reset();
  }

  void writeRule(const std::string& name, const std::string& text) {
    std::ofstream(rules_ / name) << text;
  }

  // A copy of /bin/true with the marker (and `extra`) appended.
  fs::path markedProgram(const std::string& name, const std::string& extra = "") {
    const fs::path path = dir_ / name;
    fs::copy_file("/bin/true", path, fs::copy_options::overwrite_existing);
    std::ofstream(path, std::ios::app | std::ios::binary) << kMarker << extra;
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }

  void start(YaraOptions options = {}) {
    options.rulesFolder = rules_.string();
    options.reloadQuiet = 50ms;
    options.reportInterval = 200ms;
    harness_ = std::make_unique<es_test::SourceHarness>(
        [options] { return makeYaraSource(options); }, (dir_ / "dpkg").string(),
        [] { return makeBpfSource(); });
    harness_->start({ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED});
  }

  // Runs `argv` to its end; its pid.
  static pid_t run(const std::vector<std::string>& argv) {
    const pid_t child = ::fork();
    if (child == 0) {
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << argv[0];
    return child;
  }

  std::vector<es_test::Document> detections() const {
    std::vector<es_test::Document> found;
    for (const es_test::Document& d : harness_->all()) {
      if (isDetectionIn(d.record, dir_)) found.push_back(d);
    }
    return found;
  }

  // Waits until `n` detections arrived, then a while longer for any that should not.
  std::vector<es_test::Document> settled(std::size_t n) {
    for (int i = 0; i < 500 && detections().size() < n; ++i) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(500ms);
    return detections();
  }

  std::optional<test_support::TempDir> tree_;  // made once the test is known to run
  fs::path dir_, rules_;
  std::unique_ptr<es_test::SourceHarness> harness_;
};

TEST_F(YaraSourceTest, AFileRunAHundredTimesIsReportedOnceUntilItChanges) {
  start();
  const fs::path program = markedProgram("marked");
  std::set<pid_t> runners;
  for (int i = 0; i < 100; ++i) runners.insert(run({program}));

  auto found = settled(1);
  ASSERT_EQ(found.size(), 1u);
  const model::EsMessage record = found[0].record;  // a copy: `found` is read again below
  EXPECT_EQ(record.eventDesc, "XP_MALWARE_DETECTED");
  EXPECT_TRUE(runners.count(static_cast<pid_t>(record.process.pid))) << record.process.pid;
  EXPECT_EQ(record.process.exectuable.path, program.string());
  const auto& m = *record.xpMalwareDetected;
  EXPECT_EQ(m.malwareIdentifier, "test:Marker");
  EXPECT_EQ(m.detectedPath, program.string());
  EXPECT_EQ(m.signatureVersion, versionOf(rules_));
  EXPECT_TRUE(std::regex_match(
      m.incidentIdentifier,
      std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  const auto decoded = model::decode<model::EsMessage>(found[0].json);
  EXPECT_TRUE(decoded && decoded.value() == record);

  // Edited: a new file identity, reported once more however often it runs.
  std::ofstream(program, std::ios::app | std::ios::binary) << "edited";
  std::set<pid_t> later;
  for (int i = 0; i < 5; ++i) later.insert(run({program}));
  found = settled(2);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_TRUE(later.count(static_cast<pid_t>(found[1].record.process.pid)));
  EXPECT_NE(found[1].record.xpMalwareDetected->incidentIdentifier, m.incidentIdentifier);
}

TEST_F(YaraSourceTest, ChangedRulesMakeEveryFileEligibleAgain) {
  platform::log::Capture capture;
  start();
  const fs::path program = markedProgram("marked");
  run({program});
  ASSERT_EQ(settled(1).size(), 1u);
  const std::string before = versionOf(rules_);

  writeRule("second.yara",
            std::string("rule Again { strings: $m = \"") + kMarker + "\" condition: $m }\n");
  const std::string after = versionOf(rules_);
  ASSERT_NE(before, after);
  for (int i = 0; i < 200 && !capture.contains(
                                 "EndpointSecurity: source YARA rules: 2 rules from 2 files in " +
                                 rules_.string() + ", version " + after);
       ++i) {
    std::this_thread::sleep_for(25ms);
  }
  run({program});
  const auto found = settled(3);
  ASSERT_EQ(found.size(), 3u) << ::testing::PrintToString(capture.lines());
  std::set<std::string> names;
  for (std::size_t i = 1; i < 3; ++i) {
    names.insert(found[i].record.xpMalwareDetected->malwareIdentifier);
    EXPECT_EQ(found[i].record.xpMalwareDetected->signatureVersion, after);
  }
  EXPECT_EQ(names, (std::set<std::string>{"test:Marker", "second:Again"}));
}

TEST_F(YaraSourceTest, ABrokenRuleFileIsLoggedWithFileAndLineAndTheOthersStillFire) {
  writeRule("broken.yar", "rule Broken {\n  strings: $a = \"x\"\n  condition: $b and\n}\n");
  platform::log::Capture capture;
  start();
  const std::regex logged("EndpointSecurity: source YARA rules: " + rules_.string() +
                          "/broken\\.yar:[0-9]+: .+, skipped");
  const auto lines = capture.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return std::regex_match(l, logged);
  })) << ::testing::PrintToString(lines);

  run({markedProgram("marked")});
  const auto found = settled(1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].record.xpMalwareDetected->malwareIdentifier, "test:Marker");
  // The broken file counts in the version: fixing it changes the rule set.
  EXPECT_EQ(found[0].record.xpMalwareDetected->signatureVersion, versionOf(rules_));
}

TEST_F(YaraSourceTest, AFileOverTheSizeLimitIsSkippedAndCountedAndWhatFollowsIsScanned) {
  platform::log::Capture capture;
  YaraOptions options;
  options.maxFileBytes = 4096;  // /bin/true is larger, the script below is not
  start(options);
  run({markedProgram("large")});
  // A script the kernel starts an interpreter for: the file scanned is the script, the process
  // the interpreter that runs it.
  const fs::path script = dir_ / "small.sh";
  std::ofstream(script) << "#!/bin/sh\n# " << kMarker << "\nexit 0\n";
  fs::permissions(script, fs::perms::owner_all);
  const pid_t shell = run({script});

  const auto found = settled(1);
  ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(capture.lines());
  EXPECT_EQ(found[0].record.xpMalwareDetected->detectedPath, script.string());
  EXPECT_EQ(found[0].record.process.pid, shell);
  // Other programs of the machine may be counted too: the marked one was skipped (no document
  // names it) and is among those counted.
  const std::regex counted(
      ".*source YARA rules: .* ([0-9]+) over the size limit \\(4096 bytes\\).*");
  std::uint64_t skipped = 0;
  for (int i = 0; i < 40 && skipped == 0; ++i) {
    std::this_thread::sleep_for(25ms);
    for (const std::string& line : capture.lines()) {
      std::smatch m;
      if (std::regex_match(line, m, counted)) skipped += std::stoull(m[1]);
    }
  }
  EXPECT_GE(skipped, 1u) << ::testing::PrintToString(capture.lines());
}

TEST_F(YaraSourceTest, ALaunchItemWrittenIsScannedAndNamesItsWriter) {
  const fs::path cron = dir_ / "tree" / "etc" / "cron.d";
  fs::create_directories(cron);
  std::ofstream(dir_ / "passwd") << "";
  LaunchItemOptions items;
  items.root = (dir_ / "tree").string();
  items.passwdFile = (dir_ / "passwd").string();
  items.writeWait = 300ms;
  YaraOptions options;
  options.rulesFolder = rules_.string();
  harness_ = std::make_unique<es_test::SourceHarness>(
      std::vector<SourceFactory>{[options] { return makeYaraSource(options); },
                                 [items] { return makeLaunchItemSource(items); }},
      (dir_ / "dpkg").string());
  harness_->start(
      {ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED, ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD});

  const fs::path item = cron / "planted";
  const std::string text = std::string("* * * * * root /bin/true # ") + kMarker + "\n";
  const pid_t writer = ::fork();
  if (writer == 0) {
    const int fd = ::open(item.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::_exit(fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    ::close(fd) == 0
                ? 0
                : 1);
  }
  ::waitpid(writer, nullptr, 0);
  const auto found =
      harness_->waitFor([&](const model::EsMessage& m) { return isDetectionIn(m, dir_); }, 10s);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->record.xpMalwareDetected->detectedPath, item.string());
  EXPECT_EQ(found->record.xpMalwareDetected->malwareIdentifier, "test:Marker");
  EXPECT_EQ(found->record.process.pid, writer);
}

// `watchagent --scan PATH`: the agent's rules (WATCH_YARA_RULES) applied to one file, matches on
// standard output, rule files left out on standard error, and grep's exit statuses.
struct ScanRun {
  int status = -1;
  std::string out, err;
};

ScanRun scanWithAgent(const fs::path& rules, const fs::path& file, const fs::path& outputs) {
  const std::string command =
      "WATCH_YARA_RULES='" + rules.string() + "' " WATCHAGENT_PATH " --scan '" + file.string() +
      "' >'" + (outputs / "out").string() + "' 2>'" + (outputs / "err").string() + "'";
  const int status = std::system(command.c_str());
  ScanRun run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream out(outputs / "out"), err(outputs / "err");
  run.out.assign(std::istreambuf_iterator<char>(out), {});
  run.err.assign(std::istreambuf_iterator<char>(err), {});
  return run;
}

TEST_F(YaraSourceTest, WatchagentScanPrintsTheMatchesOfTheRulesItLoads) {
  writeRule("broken.yara", "rule Broken {\n  condition: $missing\n}\n");
  const fs::path marked = markedProgram("marked");
  const ScanRun hit = scanWithAgent(rules_, marked, dir_);
  EXPECT_EQ(hit.status, 0);
  EXPECT_EQ(hit.out, "test:Marker " + marked.string() + "\n");
  EXPECT_TRUE(std::regex_search(hit.err, std::regex("/broken\\.yara:[0-9]+: .+, skipped")))
      << hit.err;

  const ScanRun miss = scanWithAgent(rules_, "/bin/true", dir_);
  EXPECT_EQ(miss.status, 1);
  EXPECT_EQ(miss.out, "");

  const ScanRun absent = scanWithAgent(rules_, dir_ / "absent", dir_);
  EXPECT_EQ(absent.status, 2);
  EXPECT_NE(absent.err.find("No such file or directory"), std::string::npos) << absent.err;
}

}  // namespace
