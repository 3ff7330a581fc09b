// The framing of what a service writes to a client: authentication lines and messages for
// sd-bus, reports for the exported object, whatever way the bytes are split; malformed and
// oversized input.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/xpc/ReportFramer.h"
#include "platform/xpc/ReportWriter.h"
#include "tests/xpc/WireMessages.h"

namespace {

using xpc::ReportFramer;
using Kind = ReportFramer::Piece::Kind;
using namespace wire;

constexpr std::string_view kInterface = "com.example.SystemExtensionsToApp";
constexpr std::string_view kAuth = "OK 0123456789abcdef0123456789abcdef\r\n";

std::vector<Field> reportFields(const std::string& member, const std::string& signature,
                                const std::string& path = "/") {
  return {{1, 'o', path}, {2, 's', std::string(kInterface)}, {3, 's', member}, {8, 'g', signature}};
}

// A report as the agent writes it.
std::string report(const std::string& member, const std::string& payload) {
  std::string out;
  xpc::appendReport(out, 0x80000001u, kInterface, member, payload);
  return out;
}

std::string reply(const std::string& text) {
  return message(2, 1, {{5, 'u', u32(3)}, {8, 'g', "s"}}, stringBody(text));
}

// What the framer hands on, in order: "F:<bytes>" per forwarded line or message, "R:<member>
// <signature>:<argument>" per report.
std::vector<std::string> drain(ReportFramer& framer, std::string& partial, bool& failed) {
  std::vector<std::string> out;
  for (;;) {
    const ReportFramer::Piece piece = framer.next();
    if (piece.kind == Kind::none) return out;
    if (piece.kind == Kind::failed) {
      failed = true;
      return out;
    }
    if (piece.kind == Kind::report) {
      out.push_back("R:" + std::string(piece.report.member) + " " +
                    std::string(piece.report.signature) + ":" + std::string(piece.report.argument));
      EXPECT_EQ(piece.report.interface, kInterface);
    } else {
      partial += piece.bytes;
      if (piece.ends) out.push_back("F:" + std::exchange(partial, {}));
    }
    framer.consume(piece.bytes.size());
  }
}

std::vector<std::string> frame(const std::vector<std::string_view>& chunks,
                               bool* failedOut = nullptr, std::size_t maxReport = 1 << 20) {
  ReportFramer framer(1 << 24, maxReport);
  std::string partial;
  bool failed = false;
  std::vector<std::string> out;
  for (const std::string_view chunk : chunks) {
    framer.take(chunk);
    for (auto& item : drain(framer, partial, failed)) out.push_back(std::move(item));
    if (failed) break;
  }
  if (!partial.empty()) out.push_back("partial:" + partial);
  if (failedOut) *failedOut = failed;
  return out;
}

TEST(ReportFramerTest, SplitAnywhereTheStreamFramesTheSame) {
  const std::string doc = report("reportEndpointMessageWithMsg", "{\"a\":1}");
  const std::string empty = report("reportNetworkMessageWithMsg", "");
  const std::string text = message(1, 1, reportFields("note", "s"), stringBody("h\xc3\xa9llo"));
  const std::string answer = reply("subscribed");
  const std::string error = message(
      3, 1, {{4, 's', "org.example.Error"}, {5, 'u', u32(4)}, {8, 'g', "s"}}, stringBody("no"));
  const std::string signal = message(4, 1, reportFields("changed", "ay"), arrayBody("x"));
  const std::string call =
      message(1, 0, reportFields("reportEndpointMessageWithMsg", "ay"), arrayBody("wants a reply"));
  const std::string stream = std::string("DATA\r\n") + std::string(kAuth) + doc + answer + empty +
                             error + text + signal + call + doc;
  const std::vector<std::string> expected{
      "F:DATA\r\n",
      "F:" + std::string(kAuth),
      "R:reportEndpointMessageWithMsg ay:{\"a\":1}",
      "F:" + answer,
      "R:reportNetworkMessageWithMsg ay:",
      "F:" + error,
      "R:note s:h\xc3\xa9llo",
      "F:" + signal,
      "F:" + call,
      "R:reportEndpointMessageWithMsg ay:{\"a\":1}",
  };
  EXPECT_EQ(frame({stream}), expected);
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    const std::string_view all(stream);
    ASSERT_EQ(frame({all.substr(0, split), all.substr(split)}), expected) << "split at " << split;
  }
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < stream.size(); ++i)
    bytes.push_back(std::string_view(stream).substr(i, 1));
  EXPECT_EQ(frame(bytes), expected) << "a byte at a time";
}

TEST(ReportFramerTest, AuthenticationEndsOnlyAtTheOkLine) {
  ReportFramer framer(1 << 20, 1 << 20);
  const std::string doc = report("reportEndpointMessageWithMsg", "x");
  framer.take("REJECTED EXTERNAL\r\nOKAY\r\n" + doc);
  std::string partial;
  bool failed = false;
  const auto out = drain(framer, partial, failed);
  EXPECT_FALSE(framer.authenticated());
  EXPECT_FALSE(failed);
  // Everything stays authentication bytes for sd-bus, which ends the connection.
  for (const auto& item : out) EXPECT_TRUE(item.starts_with("F:")) << item;
  EXPECT_EQ(out.at(0), "F:REJECTED EXTERNAL\r\n");
  EXPECT_EQ(out.at(1), "F:OKAY\r\n");
}

// Each message follows a valid authentication; it is either forwarded whole as it is, or the
// stream fails.
TEST(ReportFramerTest, MessagesThatAreNotCleanReportsGoToSdBusOrFail) {
  const std::string good = report("reportEndpointMessageWithMsg", "doc");
  auto patched = [&](std::size_t at, char value) {
    std::string m = good;
    m[at] = value;
    return m;
  };
  std::string shortArray = good;
  shortArray.replace(shortArray.size() - 7, 4, u32(2));
  std::string longArray = good;
  longArray.replace(longArray.size() - 7, 4, u32(400));
  std::vector<Field> duplicated = reportFields("reportEndpointMessageWithMsg", "ay");
  duplicated.push_back({3, 's', "reportEndpointMessageWithMsg"});
  std::vector<Field> unknownField = reportFields("reportEndpointMessageWithMsg", "ay");
  unknownField.push_back({20, 's', "x"});
  std::vector<Field> withFds = reportFields("reportEndpointMessageWithMsg", "ay");
  withFds.push_back({9, 'u', u32(1)});
  std::vector<Field> noMember = reportFields("reportEndpointMessageWithMsg", "ay");
  noMember.erase(noMember.begin() + 2);
  std::vector<Field> nulInMember = reportFields(std::string("report\0x", 8), "ay");
  std::string stringLengthPastFields =
      message(1, 1, reportFields("reportEndpointMessageWithMsg", "ay"), arrayBody("doc"));
  stringLengthPastFields.replace(32 + 4, 4, u32(1000));  // the interface's length
  std::string badVariant = good;
  badVariant[17] = 2;  // the path field's signature: two types

  struct Case {
    const char* name;
    std::string message;
    bool fails = false;
  };
  const Case cases[] = {
      {"serial zero", message(1, 1, reportFields("m", "ay"), arrayBody("d"), 0)},
      {"path not /", message(1, 1, reportFields("m", "ay", "/x"), arrayBody("d"))},
      {"reply expected", patched(2, 0)},
      {"protocol version 2", patched(3, 2)},
      {"big-endian", message(1, 1, reportFields("m", "ay"), u32(1, true) + "d", 7, true)},
      {"array shorter than the body", shortArray},
      {"array longer than the body", longArray},
      {"duplicate field", message(1, 1, duplicated, arrayBody("d"))},
      {"unknown field", message(1, 1, unknownField, arrayBody("d"))},
      {"file descriptors", message(1, 1, withFds, arrayBody("d"))},
      {"no member", message(1, 1, noMember, arrayBody("d"))},
      {"NUL in a name", message(1, 1, nulInMember, arrayBody("d"))},
      {"string length past the fields", stringLengthPastFields},
      {"variant of two types", badVariant},
      {"padding not zero",
       message(1, 1, reportFields("m", "ay"), arrayBody("d")).replace(16 + 4 + 4 + 2, 1, "\x01")},
      {"signature ai", message(1, 1, reportFields("m", "ai"), u32(4) + u32(1))},
      {"string not UTF-8", message(1, 1, reportFields("m", "s"), stringBody("\xc3("))},
      {"string overlong", message(1, 1, reportFields("m", "s"), stringBody("\xc0\xaf"))},
      {"string with NUL",
       message(1, 1, reportFields("m", "s"), stringBody(std::string("a\0b", 3)))},
      {"string without its NUL", message(1, 1, reportFields("m", "s"), u32(1) + "ab")},
      {"no body", message(1, 1, reportFields("m", "ay"), "")},
      {"not a message", std::string("xyzw") + std::string(12, '\0'), true},
      {"larger than any message", std::string("l\1\1\1") + u32(1u << 25) + u32(1) + u32(0), true},
  };
  for (const Case& c : cases) {
    bool failed = false;
    const auto out = frame({kAuth, c.message}, &failed);
    EXPECT_EQ(failed, c.fails) << c.name;
    if (c.fails) continue;
    EXPECT_EQ(out, (std::vector<std::string>{"F:" + std::string(kAuth), "F:" + c.message}))
        << c.name;
  }
}

// A message held whole only up to the report limit: a larger one is handed on as it arrives.
TEST(ReportFramerTest, LargeMessagesStreamWithoutBeingHeld) {
  const std::string big = report("reportEndpointMessageWithMsg", std::string(5000, 'b'));
  ReportFramer framer(1 << 20, 1024);
  framer.take(kAuth);
  framer.consume(framer.next().bytes.size());
  framer.take(std::string_view(big).substr(0, 3000));
  ReportFramer::Piece piece = framer.next();
  ASSERT_EQ(piece.kind, Kind::forward);
  EXPECT_EQ(piece.bytes, std::string_view(big).substr(0, 3000));
  EXPECT_FALSE(piece.ends);
  framer.consume(piece.bytes.size());
  EXPECT_EQ(framer.held(), 0u);
  framer.take(std::string_view(big).substr(3000));
  piece = framer.next();
  EXPECT_EQ(piece.bytes, std::string_view(big).substr(3000));
  EXPECT_TRUE(piece.ends);
}

// A report sd-bus must deliver after all (the exported object does not take it) may be handed
// on in parts: the rest of it still goes to sd-bus, and the next message frames as before.
TEST(ReportFramerTest, ReportHandedOnInPartsGoesOnAsBytes) {
  const std::string doc = report("reportEndpointMessageWithMsg", "first");
  const std::string next = report("reportEndpointMessageWithMsg", "second");
  ReportFramer framer(1 << 20, 1 << 20);
  framer.take(std::string(kAuth) + doc + next);
  framer.consume(framer.next().bytes.size());
  ASSERT_EQ(framer.next().kind, Kind::report);
  framer.consume(10);
  ReportFramer::Piece piece = framer.next();
  ASSERT_EQ(piece.kind, Kind::forward);
  EXPECT_EQ(piece.bytes, std::string_view(doc).substr(10));
  EXPECT_TRUE(piece.ends);
  framer.consume(piece.bytes.size());
  piece = framer.next();
  ASSERT_EQ(piece.kind, Kind::report);
  EXPECT_EQ(piece.report.argument, "second");
}

}  // namespace
