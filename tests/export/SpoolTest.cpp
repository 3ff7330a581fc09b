// The exporter's parts that need no server: the spool (order, acknowledgement across a restart,
// the size bound and its drop count, a record cut short by a crash, damaged records at rest and
// while running, an absurd acknowledged position), the sequence file (never a number twice, even
// after a crash), the subject of a document, and the notices the exporter puts in the sequence
// (gaps, dropped documents, documents a full disk refused).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/log/Log.h"
#include "tests/export/ExportFixture.h"
#include "tools/watchexport/Exporter.h"
#include "tools/watchexport/SequenceFile.h"
#include "tools/watchexport/Spool.h"
#include "tools/watchexport/Subject.h"

namespace {

using namespace watchexport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

Record record(std::uint64_t sequence, std::size_t size = 100) {
  return Record{sequence, "corvane.events.h.FORK", std::string(size, 'a' + sequence % 26)};
}

std::vector<std::uint64_t> sequences(const std::vector<Record>& records) {
  std::vector<std::uint64_t> out;
  for (const auto& r : records) out.push_back(r.sequence);
  return out;
}

class SpoolTest : public ::testing::Test {
 protected:
  std::unique_ptr<Spool> open(Spool::Limits limits = {}) {
    std::string error;
    auto spool = Spool::open(dir_.path() / "spool", limits, error);
    EXPECT_TRUE(spool) << error;
    return spool;
  }
  void append(Spool& spool, std::uint64_t from, std::uint64_t to, std::size_t size = 100) {
    std::string error;
    for (auto s = from; s <= to; ++s) ASSERT_TRUE(spool.append(record(s, size), error)) << error;
  }
  export_test::TempDir dir_;
};

TEST_F(SpoolTest, HandsOutInOrderOnceAndAgainAfterARestartUntilAcknowledged) {
  {
    auto spool = open();
    append(*spool, 1, 10);
    const auto first = spool->take(4, 0ms);
    EXPECT_EQ(sequences(first), (std::vector<std::uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(first[2].document, record(3).document);
    EXPECT_EQ(first[2].subject, record(3).subject);
    EXPECT_EQ(sequences(spool->take(100, 0ms)), (std::vector<std::uint64_t>{5, 6, 7, 8, 9, 10}));
    EXPECT_TRUE(spool->take(100, 10ms).empty());
    spool->acknowledge(6);
    EXPECT_EQ(spool->backlog(), 4u);
  }
  auto spool = open();
  EXPECT_EQ(spool->acknowledged(), 6u);
  EXPECT_EQ(spool->lastSequence(), 10u);
  EXPECT_EQ(sequences(spool->take(100, 0ms)), (std::vector<std::uint64_t>{7, 8, 9, 10}));
  std::string error;
  EXPECT_FALSE(spool->append(record(10), error)) << "a sequence number used twice";
  append(*spool, 11, 11);
  EXPECT_EQ(sequences(spool->take(100, 0ms)), (std::vector<std::uint64_t>{11}));
}

TEST_F(SpoolTest, FullSpoolDropsTheOldestUnpublishedAndCountsThem) {
  // Records of 16 + 21 + 100 bytes; segments of 1 KiB hold 8 of them, the spool about 4 segments.
  const Spool::Limits limits{4096, 1024};
  auto spool = open(limits);
  append(*spool, 1, 3);
  EXPECT_EQ(sequences(spool->take(3, 0ms)), (std::vector<std::uint64_t>{1, 2, 3}));
  append(*spool, 4, 100);
  EXPECT_LE(spool->bytes(), limits.maxBytes);
  const Dropped dropped = spool->takeDropped();
  // Whole segments went; the three records already handed out do not count.
  EXPECT_EQ(dropped.first, 4u);
  EXPECT_EQ(dropped.count, dropped.last - 3);
  EXPECT_EQ(spool->droppedTotal(), dropped.count);
  EXPECT_EQ(spool->takeDropped().count, 0u);
  const auto rest = sequences(spool->take(1000, 0ms));
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.front(), dropped.last + 1);
  EXPECT_EQ(rest.back(), 100u);
  EXPECT_EQ(rest.size(), 100 - dropped.last);
}

TEST_F(SpoolTest, ARecordCutShortByACrashIsDiscarded) {
  {
    auto spool = open();
    append(*spool, 1, 3);
  }
  const fs::path segment = dir_.path() / "spool" / "00000000000000000001.spool";
  ASSERT_TRUE(fs::exists(segment));
  fs::resize_file(segment, fs::file_size(segment) - 10);
  auto spool = open();
  EXPECT_EQ(spool->lastSequence(), 2u);
  EXPECT_EQ(sequences(spool->take(10, 0ms)), (std::vector<std::uint64_t>{1, 2}));
  append(*spool, 3, 3);
  EXPECT_EQ(sequences(spool->take(10, 0ms)), (std::vector<std::uint64_t>{3}));
}

TEST_F(SpoolTest, LargeRecordsAndManySegmentsReadBackWhole) {
  auto spool = open({64ULL << 20, 1ULL << 20});
  append(*spool, 1, 3, 3 << 20);  // each larger than one read
  append(*spool, 4, 2000, 1000);
  const auto records = spool->take(5000, 0ms);
  ASSERT_EQ(records.size(), 2000u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(records[i].sequence, i + 1);
    ASSERT_EQ(records[i].document, record(i + 1, i < 3 ? 3 << 20 : 1000).document);
  }
}

// Overwrites `bytes` at `offset` of a file, as a bad disk or a stray write would.
void damage(const fs::path& file, std::uint64_t offset, const std::string& bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// Ten records of 24 + 21 + 100 bytes in one segment; the fourth is damaged, at rest (the spool
// opened again afterwards) or under a running spool. The others are all handed out, the fourth's
// number is reported lost, the damage is logged, and nothing spins or balloons.
TEST_F(SpoolTest, DamagedRecordsAreSkippedTheRestKeptAndTheLostNumbersReported) {
  constexpr std::uint64_t kRecord = 24 + 21 + 100;
  const std::string kHuge = std::string("\xff\xff\xff\x7f", 4);
  const struct {
    const char* name;
    bool atRest;
    std::uint64_t offset;  // within the fourth record
    std::string bytes;
  } cases[] = {
      {"at rest: a document byte", true, 60, "#"},
      {"at rest: the document length", true, 20, kHuge},
      {"at rest: the marker", true, 0, "XXXX"},
      {"running: the document length", false, 20, kHuge},
      {"running: the sequence", false, 8, "\x01"},
      {"running: a subject byte", false, 30, "*"},
  };
  const std::vector<std::uint64_t> kept = {1, 2, 3, 5, 6, 7, 8, 9, 10};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.path() / "spool");
    platform::log::Capture log;
    const fs::path segment = dir_.path() / "spool" / "00000000000000000001.spool";
    auto spool = open();
    append(*spool, 1, 10);
    if (c.atRest) spool.reset();
    damage(segment, 3 * kRecord + c.offset, c.bytes);
    if (c.atRest) spool = open();
    EXPECT_EQ(sequences(spool->take(100, 0ms)), kept);
    const auto damaged = spool->takeDamaged();
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(damaged[0].first, 4u);
    EXPECT_EQ(damaged[0].last, 4u);
    EXPECT_EQ(damaged[0].count, 1u);
    EXPECT_TRUE(log.contains("watchexport: spool: damaged records in " + segment.string() +
                             " (bytes 435 to 580): 1 documents lost (sequences 4 to 4); the "
                             "records after them are kept"))
        << ::testing::PrintToString(log.lines());
    append(*spool, 11, 11);
    EXPECT_EQ(sequences(spool->take(100, 0ms)), (std::vector<std::uint64_t>{11}));
    // Opened again, the intact records are all there, and the damage is not told twice.
    spool.reset();
    spool = open();
    auto again = kept;
    again.push_back(11);
    EXPECT_EQ(sequences(spool->take(100, 0ms)), again);
    EXPECT_EQ(spool->takeDamaged().size(), c.atRest ? 0u : 1u);
  }
}

// A small file system of its own (tmpfs), mounted for the test and filled up on demand.
class FullDisk {
 public:
  FullDisk() {
    fs::create_directories(path());
    mounted_ = ::mount("tmpfs", path().c_str(), "tmpfs", 0, "size=256k") == 0;
  }
  ~FullDisk() {
    if (mounted_) ::umount2(path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  fs::path path() const { return dir_.path() / "disk"; }
  // Writes a filler file until the file system refuses.
  void fill() {
    std::ofstream filler(path() / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  void free() { fs::remove(path() / "filler"); }

 private:
  export_test::TempDir dir_;
  bool mounted_ = false;
};

// On a full disk the damage cannot be cut out of the file at once: the file stays as it is, and
// the damage is skipped and told (once) as it is read.
TEST(SpoolOnAFullDisk, DamageThatCannotBeCutOutIsSkippedAsItIsRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounts a small file system";
  FullDisk disk;
  ASSERT_TRUE(disk.mounted());
  const fs::path directory = disk.path() / "spool";
  std::string error;
  {
    auto spool = Spool::open(directory, {}, error);
    ASSERT_TRUE(spool) << error;
    for (std::uint64_t s = 1; s <= 10; ++s) ASSERT_TRUE(spool->append(record(s), error));
  }
  damage(directory / "00000000000000000001.spool", 3 * (24 + 21 + 100) + 60, "#");
  disk.fill();
  platform::log::Capture log;
  auto spool = Spool::open(directory, {}, error);
  ASSERT_TRUE(spool) << error;
  EXPECT_EQ(sequences(spool->take(100, 0ms)),
            (std::vector<std::uint64_t>{1, 2, 3, 5, 6, 7, 8, 9, 10}));
  const auto damaged = spool->takeDamaged();
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_EQ(damaged[0].first, 4u);
  EXPECT_EQ(damaged[0].last, 4u);
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("documents lost (sequences 4 to 4)") != std::string::npos;
                          }),
            1)
      << ::testing::PrintToString(lines);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("it is skipped as it is read") != std::string::npos;
  })) << ::testing::PrintToString(lines);
}

// A spool written before records carried checksums (a 16-byte header: sequence, subject length,
// document length) is converted when opened, its last record cut short by a crash left out.
TEST_F(SpoolTest, ASpoolOfTheEarlierFormIsConvertedNotLost) {
  fs::create_directories(dir_.path() / "spool");
  {
    std::ofstream out(dir_.path() / "spool" / "00000000000000000007.spool", std::ios::binary);
    for (std::uint64_t s = 7; s <= 10; ++s) {
      const Record r = record(s);
      const std::uint32_t sizes[2] = {static_cast<std::uint32_t>(r.subject.size()),
                                      static_cast<std::uint32_t>(r.document.size())};
      out.write(reinterpret_cast<const char*>(&s), sizeof s);
      out.write(reinterpret_cast<const char*>(sizes), sizeof sizes);
      out << r.subject << (s == 10 ? r.document.substr(0, 50) : r.document);
    }
  }
  std::ofstream(dir_.path() / "spool" / "acknowledged") << "6\n";
  platform::log::Capture log;
  auto spool = open();
  const auto records = spool->take(100, 0ms);
  EXPECT_EQ(sequences(records), (std::vector<std::uint64_t>{7, 8, 9}));
  for (const auto& r : records) EXPECT_EQ(r.document, record(r.sequence).document);
  EXPECT_TRUE(spool->takeDamaged().empty());
  EXPECT_TRUE(log.contains("watchexport: spool: converted " +
                           (dir_.path() / "spool" / "00000000000000000007.spool").string() +
                           " to the checksummed form"))
      << ::testing::PrintToString(log.lines());
}

TEST_F(SpoolTest, AnAcknowledgedPositionBeyondEveryNumberUsedIsRefused) {
  const struct {
    const char* name;
    Spool::Limits limits;
    std::optional<std::uint64_t> lastUsed;
    std::vector<std::uint64_t> resent;
  } cases[] = {
      // Segments of two records; all ten acknowledged, so none is left.
      {"no records spooled, the last number used known", {4096, 256}, 10, {}},
      {"records spooled", {}, std::nullopt, {3, 4, 5, 6, 7, 8, 9, 10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.path() / "spool");
    platform::log::Capture log;
    {
      auto spool = open(c.limits);
      append(*spool, 1, 10);
      spool->take(100, 0ms);
      spool->acknowledge(c.resent.empty() ? 10 : 2);
    }
    std::ofstream(dir_.path() / "spool" / "acknowledged")
        << std::numeric_limits<std::uint64_t>::max() << "\n";
    std::string error;
    auto spool = Spool::open(dir_.path() / "spool", c.limits, error, c.lastUsed);
    ASSERT_TRUE(spool) << error;
    EXPECT_LE(spool->acknowledged(), 10u);
    EXPECT_EQ(spool->lastSequence(), 10u);
    const auto resent = sequences(spool->take(100, 0ms));
    EXPECT_TRUE(std::includes(resent.begin(), resent.end(), c.resent.begin(), c.resent.end()));
    append(*spool, 11, 12);
    EXPECT_EQ(sequences(spool->take(100, 0ms)), (std::vector<std::uint64_t>{11, 12}));
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.starts_with(
          "watchexport: spool: the acknowledged position 18446744073709551615 "
          "is beyond every sequence number used");
    })) << ::testing::PrintToString(lines);
  }
}

TEST(SequenceFileTest, NeverHandsOutANumberTwice) {
  export_test::TempDir dir;
  const fs::path path = dir.path() / "sequence";
  std::string error;
  {
    auto file = SequenceFile::open(path, error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->resumeAt(), 1u);
    EXPECT_TRUE(file->previousRunClean());
    ASSERT_TRUE(file->close(42, error));
  }
  std::uint64_t used = 0;
  {
    auto file = SequenceFile::open(path, error);
    EXPECT_EQ(file->resumeAt(), 42u);
    EXPECT_TRUE(file->previousRunClean());
    // Past the first reservation, then a crash (no close).
    used = 42 + SequenceFile::kReservation + 5;
    for (auto s = std::uint64_t{42}; s <= used; s += 1000) ASSERT_TRUE(file->use(s, error));
    ASSERT_TRUE(file->use(used, error));
  }
  auto file = SequenceFile::open(path, error);
  EXPECT_FALSE(file->previousRunClean());
  EXPECT_GT(file->resumeAt(), used);
}

TEST(ExporterTest, GapsAndDropsAreNoticesInTheSequence) {
  export_test::TempDir dir;
  std::string error;
  auto sequence = SequenceFile::open(dir.path() / "sequence", error);
  ASSERT_TRUE(sequence) << error;
  auto spool = Spool::open(dir.path() / "spool", {4096, 1024}, error);
  ASSERT_TRUE(spool) << error;
  platform::log::Capture log;
  Exporter exporter(*spool, *sequence, "h1");
  exporter.agentConnected();
  const std::string document(100, 'x');
  for (int i = 0; i < 3; ++i) exporter.documentArrived(R"({"eventDesc":"EXEC"})");
  exporter.agentLost();
  exporter.agentConnected();
  const auto first = spool->take(100, 0ms);
  ASSERT_EQ(sequences(first), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(first[0].subject, "corvane.events.h1.EXPORTER");
  EXPECT_NE(first[0].document.find(R"("cause":"exporter started","afterSequence":0)"),
            std::string::npos);
  // Its times are Unix times and say so: the documents' "time" counts from 2001.
  EXPECT_NE(first[0].document.find(R"(,"connectedUnixTime":)"), std::string::npos);
  EXPECT_EQ(first[1].subject, "corvane.events.h1.EXEC");
  EXPECT_NE(first[4].document.find(R"("cause":"agent connection lost","afterSequence":4)"),
            std::string::npos);
  EXPECT_NE(first[4].document.find(R"(,"lostUnixTime":)"), std::string::npos);
  EXPECT_TRUE(
      log.contains("watchexport: lost the agent; what it reports until the connection is "
                   "back cannot be known"));

  // Nothing is published now: the spool fills and drops whole segments.
  for (int i = 0; i < 100; ++i) {
    exporter.documentArrived(R"({"eventDesc":"FORK","x":")" + document + R"("})");
  }
  const auto rest = spool->take(1000, 0ms);
  ASSERT_FALSE(rest.empty());
  std::uint64_t expected = rest.front().sequence;
  std::string lastNotice;
  for (const auto& r : rest) {
    EXPECT_EQ(r.sequence, expected++) << "sequences after a drop continue without a hole";
    if (r.subject.ends_with(".EXPORTER")) lastNotice = r.document;
  }
  // The newest notice survives and counts every drop; every number used was either handed
  // out or dropped.
  EXPECT_GT(spool->droppedTotal(), 0u);
  EXPECT_NE(lastNotice.find(R"({"notice":"dropped","count":)"), std::string::npos) << lastNotice;
  EXPECT_NE(lastNotice.find(R"("droppedTotal":)" + std::to_string(spool->droppedTotal()) + "}"),
            std::string::npos)
      << lastNotice;
  EXPECT_EQ(first.size() + rest.size() + spool->droppedTotal(), exporter.nextSequence() - 1);
  const auto lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.starts_with("watchexport: spool full: dropped the ");
  }));
}

// Documents the disk refuses are lost, but never silently: each keeps its sequence number, so
// the stream shows a numbered gap, and once the spool takes documents again a notice names the
// numbers and the cause.
TEST(ExporterTest, DocumentsAFullDiskRefusedLeaveANumberedGapAndANotice) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounts a small file system";
  FullDisk disk;
  ASSERT_TRUE(disk.mounted());
  std::string error;
  auto sequence = SequenceFile::open(disk.path() / "sequence", error);
  ASSERT_TRUE(sequence) << error;
  auto spool = Spool::open(disk.path() / "spool", {1 << 20, 1 << 20}, error);
  ASSERT_TRUE(spool) << error;
  platform::log::Capture log;
  Exporter exporter(*spool, *sequence, "h1");
  exporter.agentConnected();
  const std::string document = R"({"eventDesc":"EXEC","x":")" + std::string(1000, 'x') + R"("})";
  disk.fill();
  for (int i = 0; i < 100; ++i) exporter.documentArrived(document);
  disk.free();
  for (int i = 0; i < 3; ++i) exporter.documentArrived(document);

  std::set<std::uint64_t> present;
  std::uint64_t lostCount = 0;
  std::set<std::uint64_t> explained;
  for (const auto& r : spool->take(1000, 0ms)) {
    present.insert(r.sequence);
    if (!r.subject.ends_with(".EXPORTER")) continue;
    const auto notice = nlohmann::json::parse(r.document);
    if (notice["notice"] != "unspooled") continue;
    EXPECT_NE(notice["cause"].get<std::string>().find("No space left on device"),
              std::string::npos);
    lostCount += notice["count"].get<std::uint64_t>();
    for (auto n = notice["firstSequence"].get<std::uint64_t>();
         n <= notice["lastSequence"].get<std::uint64_t>(); ++n) {
      explained.insert(n);
    }
  }
  // Most of the 100 found no room; every number used is either spooled or named lost.
  EXPECT_GT(lostCount, 50u);
  EXPECT_EQ(explained.size(), lostCount);
  for (std::uint64_t n = 1; n < exporter.nextSequence(); ++n) {
    EXPECT_NE(present.contains(n), explained.contains(n)) << n;
  }
  EXPECT_EQ(present.size() + lostCount, exporter.nextSequence() - 1);
  EXPECT_TRUE(log.contains("watchexport: spooling documents again; " + std::to_string(lostCount) +
                           " documents could not be spooled (sequences " +
                           std::to_string(*explained.begin()) + " to " +
                           std::to_string(*explained.rbegin()) + ")"))
      << ::testing::PrintToString(log.lines());
}

TEST(SubjectTest, KindIsTheEventDescAsOneToken) {
  const struct {
    std::string_view document;
    std::string_view kind;
  } cases[] = {
      {R"({"version":7,"eventType":9,"eventDesc":"EXEC","exec":{}})", "EXEC"},
      {R"({"eventType":32,"eventDesc":"LW_SESSION_LOGIN"})", "LW_SESSION_LOGIN"},
      {R"({"eventType":9})", "UNKNOWN"},
      {R"({"eventDesc":""})", "UNKNOWN"},
      {R"({"eventDesc":"a.b*c>d e"})", "a_b_c_d_e"},
      {R"({"eventDesc":"q\"x"})", "q_x"},
      {R"({"process":{"args":["\"eventDesc\":\"X"]},"eventDesc":"FORK"})", "FORK"},
  };
  for (const auto& c : cases) EXPECT_EQ(kindToken(c.document), c.kind) << c.document;
  EXPECT_EQ(subjectFor("0123abcd", "EXEC"), "corvane.events.0123abcd.EXEC");
  EXPECT_TRUE(isToken("0123abcd"));
  EXPECT_FALSE(isToken("a.b"));
  EXPECT_FALSE(isToken(""));
  EXPECT_FALSE(isToken("*"));
}

}  // namespace
