#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "agent/model/JsonEncoding.h"
#include "tests/model/Samples.h"

namespace {

using namespace model;
using Json = nlohmann::json;

template <class T>
T roundTrip(const T& record) {
  const std::optional<std::string> document = encode(record);
  EXPECT_TRUE(document.has_value());
  ReadResult<T> back = decode<T>(document.value_or(""));
  EXPECT_TRUE(back.ok()) << back.error().describe();
  return back.ok() ? std::move(back).value() : T{};
}

TEST(JsonReader, RoundTripsFullyPopulatedRecords) {
  EXPECT_EQ(roundTrip(samples::everyMemberMessage()), samples::everyMemberMessage());
  EXPECT_EQ(roundTrip(samples::forkExample()), samples::forkExample());
  EXPECT_EQ(roundTrip(samples::execMessage(30, 40)), samples::execMessage(30, 40));

  const PidTable table{{{1, "/sbin/launchd"}, {-1, "\x01\"\\/\xc3\xa9"}, {512, ""}}};
  EXPECT_EQ(roundTrip(table), table);
  EXPECT_EQ(roundTrip(PidTable{}), PidTable{});

  // Extremes of every scalar type and awkward doubles.
  EsMessage extremes;
  extremes.version = std::numeric_limits<UInt32>::max();
  extremes.time = Date{-1e-300};
  extremes.process.ppid = std::numeric_limits<Int>::min();
  extremes.process.pid = std::numeric_limits<Int>::max();
  extremes.process.startTime = Date{0.1 + 0.2};
  extremes.process.exectuable.birthTime = Date{-978307200.5};
  extremes.process.exectuable.changeTime = Date{1.7976931348623157e308};
  EXPECT_EQ(roundTrip(extremes), extremes);
}

TEST(JsonReader, ReadsEachRecordTypeOnItsOwn) {
  const EsMessage full = samples::everyMemberMessage();
  EXPECT_EQ(roundTrip(*full.auth), *full.auth);
  EXPECT_EQ(roundTrip(*full.screensharingAttach), *full.screensharingAttach);
  EXPECT_EQ(roundTrip(full.btmLaunchItemAdd->item), full.btmLaunchItemAdd->item);
  EXPECT_EQ(roundTrip(full.process.exectuable), full.process.exectuable);
}

TEST(JsonReader, MissingOrNullOptionalsAreAbsent) {
  Json document = Json::parse(samples::kForkExampleDocument);
  document.erase("time");
  document["timeStr"] = nullptr;
  document["fork"]["child"].erase("startTime");
  document["exec"] = nullptr;
  const ReadResult<EsMessage> read = decode<EsMessage>(document.dump());
  ASSERT_TRUE(read.ok()) << read.error().describe();
  EsMessage expected = samples::forkExample();
  expected.time.reset();
  expected.timeStr.reset();
  expected.fork->child.startTime.reset();
  EXPECT_EQ(read.value(), expected);
}

TEST(JsonReader, IgnoresUnknownKeysAndAcceptsWholeNumbersWithFractionDigits) {
  Json document = Json::parse(samples::kForkExampleDocument);
  document["extra"] = {{"nested", {1, 2, 3}}};
  document["process"]["Pid"] = "case differs";
  document["process"]["executable"] = 7;  // not the field's spelling: ignored
  document["version"] = 7.0;
  document["process"]["pid"] = 5e2;
  const ReadResult<EsMessage> read = decode<EsMessage>(document.dump());
  ASSERT_TRUE(read.ok()) << read.error().describe();
  EXPECT_EQ(read.value(), samples::forkExample());
}

// Each case changes one member of the fork example and names the error it must cause.
TEST(JsonReader, ReportsTheFirstErrorWithItsKey) {
  const struct {
    const char* pointer;  // JSON pointer of the member changed; "-" prefix removes it
    Json value;
    const char* key;
    const char* message;
  } cases[] = {
      {"-/version", nullptr, "version", "missing required key"},
      {"/version", nullptr, "version", "required key is null"},
      {"/version", "7", "version", "expected a number, found string"},
      {"/version", -1, "version", "number out of range: -1"},
      {"/version", 4294967296ull, "version", "number out of range: 4294967296"},
      {"/version", 1.5, "version", "expected a whole number, found 1.5"},
      {"/version", 4294967296.0, "version", "number out of range: 4294967296.0"},
      {"/eventType", true, "eventType", "expected a number, found boolean"},
      {"/time", "2024-05-01", "time", "expected a number, found string"},
      {"-/process", nullptr, "process", "missing required key"},
      {"/process", Json::array(), "process", "expected an object, found array"},
      {"/process/pid", 9223372036854775808ull, "process.pid",
       "number out of range: 9223372036854775808"},
      {"/process/pid", -9.3e18, "process.pid", "number out of range: -9.3e+18"},
      {"/process/pid", 0.5, "process.pid", "expected a whole number, found 0.5"},
      {"/process/isPlatformBinary", "true", "process.isPlatformBinary",
       "expected a boolean, found string"},
      {"/process/isPlatformBinary", 1, "process.isPlatformBinary",
       "expected a boolean, found number"},
      {"/process/exectuable/path", 5, "process.exectuable.path", "expected a string, found number"},
      {"-/process/exectuable/pathTuncated", nullptr, "process.exectuable.pathTuncated",
       "missing required key"},
      {"/fork/child/exectuable/changeTime", Json::object(), "fork.child.exectuable.changeTime",
       "expected a number, found object"},
      {"/fork/child/startTimeStr", 3, "fork.child.startTimeStr", "expected a string, found number"},
      {"-/fork/child/hash", nullptr, "fork.child.hash", "missing required key"},
      {"/exec",
       Json{{"target", Json::parse(samples::kForkExampleDocument)["process"]},
            {"args", {"a", nullptr}}},
       "exec.args[1]", "expected a string, found null"},
      {"/exec",
       Json{{"target", Json::parse(samples::kForkExampleDocument)["process"]}, {"envs", "A=1"}},
       "exec.envs", "expected an array, found string"},
  };
  for (const auto& c : cases) {
    Json document = Json::parse(samples::kForkExampleDocument);
    std::string pointer = c.pointer;
    if (pointer[0] == '-') {
      const Json::json_pointer at(pointer.substr(1));
      document[at.parent_pointer()].erase(at.back());
    } else {
      document[Json::json_pointer(pointer)] = c.value;
    }
    const ReadResult<EsMessage> read = decode<EsMessage>(document.dump());
    ASSERT_FALSE(read.ok()) << c.pointer;
    EXPECT_EQ(read.error(), (ReadError{c.key, c.message})) << c.pointer;
  }
}

TEST(JsonReader, RejectsTimesBeyondTheDoubleRange) {
  std::string document(samples::kForkExampleDocument);
  document.replace(document.find("736257600.25"), 12, "1e400");
  const ReadResult<EsMessage> read = decode<EsMessage>(document);
  ASSERT_FALSE(read.ok());
  // The parser itself refuses the number, before the member is known.
  EXPECT_EQ(read.error().message.rfind("number out of range: ", 0), 0u) << read.error().message;
}

TEST(JsonReader, StopsAtTheFirstErrorInDeclaredOrder) {
  Json document = Json::parse(samples::kForkExampleDocument);
  document["eventType"] = "eleven";
  document["process"]["pid"] = "five hundred";
  document.erase("version");
  const ReadResult<EsMessage> read = decode<EsMessage>(document.dump());
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().key, "version");
}

TEST(JsonReader, RejectsDocumentsThatAreNotObjects) {
  const struct {
    std::string text;
    const char* messageStart;
  } cases[] = {
      {"", "not valid JSON: "},
      {R"({"table":[)", "not valid JSON: "},
      {R"({"table":[]} trailing)", "not valid JSON: "},
      // The parser takes a NUL byte for the end of its input; nothing may follow a document.
      {std::string(R"({"table":[]})") + '\0', "not valid JSON: "},
      {std::string(R"({"table":[]})") + '\0' + "garbage", "not valid JSON: "},
      {std::string(R"({"table":[)") + '\0' + "]}", "not valid JSON: "},
      {"{\"table\":[{\"pid\":1,\"executable\":\"\xff\"}]}", "not valid JSON: "},
      {"[]", "expected an object, found array"},
      {"null", "expected an object, found null"},
  };
  for (const auto& c : cases) {
    const ReadResult<PidTable> read = decode<PidTable>(c.text);
    ASSERT_FALSE(read.ok()) << c.text;
    EXPECT_EQ(read.error().key, "") << c.text;
    EXPECT_EQ(read.error().message.rfind(c.messageStart, 0), 0u) << read.error().message;
  }
}

// A hostile document nests an unknown member very deep: read without exhausting the stack.
TEST(JsonReader, ToleratesDeeplyNestedUnknownMembers) {
  const std::size_t depth = 100000;
  const std::string document =
      R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') + R"(,"table":[]})";
  const ReadResult<PidTable> read = decode<PidTable>(document);
  ASSERT_TRUE(read.ok()) << read.error().describe();
  EXPECT_EQ(read.value(), PidTable{});
}

TEST(JsonReader, NamesArrayPositionsInTheKey) {
  const ReadResult<PidTable> read =
      decode<PidTable>(R"({"table":[{"pid":1,"executable":"a"},{"executable":"b"}]})");
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().key, "table[1].pid");
  EXPECT_EQ(read.error().describe(), "table[1].pid: missing required key");
}

}  // namespace
