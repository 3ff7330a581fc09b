// The exporter's parts that need no server: the spool (order, acknowledgement across a restart,
// the size bound and its drop count, a record cut short by a crash), the sequence file (never a
// number twice, even after a crash), the subject of a document, and the notices the exporter
// puts in the sequence (gaps, dropped documents).
#include <gtest/gtest.h>

#include <filesystem>
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
  EXPECT_EQ(first[1].subject, "corvane.events.h1.EXEC");
  EXPECT_NE(first[4].document.find(R"("cause":"agent connection lost","afterSequence":4)"),
            std::string::npos);
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
