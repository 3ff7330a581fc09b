#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "agent/model/JsonEncoding.h"
#include "tests/model/Samples.h"

namespace {

using namespace model;

std::string encoded(const auto& record) {
  const std::optional<std::string> document = encode(record);
  EXPECT_TRUE(document.has_value());
  return document.value_or("<failed>");
}

// The document of a one-entry process table, the string under test as its executable.
std::string tableWithExecutable(const std::string& executable) {
  return encoded(PidTable{{{1, executable}}});
}
std::string expectedTable(const std::string& escaped) {
  return R"({"table":[{"pid":1,"executable":")" + escaped + R"("}]})";
}

TEST(JsonWriter, ForkExampleByteForByte) {
  EXPECT_EQ(encoded(samples::forkExample()), samples::kForkExampleDocument);
}

TEST(JsonWriter, ProcessTables) {
  const PidTable three{{{1, "/sbin/launchd"}, {500, "/bin/zsh"}, {512, "/bin/zsh"}}};
  EXPECT_EQ(encoded(three),
            R"({"table":[{"pid":1,"executable":"\/sbin\/launchd"},)"
            R"({"pid":500,"executable":"\/bin\/zsh"},{"pid":512,"executable":"\/bin\/zsh"}]})");
  EXPECT_EQ(encoded(PidTable{}), R"({"table":[]})");
}

TEST(JsonWriter, EscapesStrings) {
  const struct {
    std::string input;
    std::string written;
  } cases[] = {
      {"", ""},
      {"/a/b", R"(\/a\/b)"},
      {"say \"hi\"", R"(say \"hi\")"},
      {"C:\\dir", R"(C:\\dir)"},
      {"\b\f\n\r\t", R"(\b\f\n\r\t)"},
      {std::string("\0", 1), R"(\u0000)"},
      {"\x01\x1f", R"(\u0001\u001f)"},
      {"\x0b", R"(\u000b)"},
      {"del\x7f", "del\x7f"},
      {"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
       "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"},
      {"\xff\x80 raw", "\xff\x80 raw"},
      {"'<>&", "'<>&"},
      {"2024-05-01T12:00:00Z", "2024-05-01T12:00:00Z"},
      {"a/b/c/d/e/f/g/h/i/j/k", R"(a\/b\/c\/d\/e\/f\/g\/h\/i\/j\/k)"},
      // Long enough for the 16-byte scan, with escapes at and across block edges.
      {"/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
       R"(\/usr\/local\/bin:\/usr\/bin:\/bin:\/usr\/sbin:\/sbin)"},
      {"0123456789abcde/0123456789abcdef/", R"(0123456789abcde\/0123456789abcdef\/)"},
      {std::string(40, '/'),
       [] {
         std::string s;
         for (int i = 0; i < 40; ++i) s += "\\/";
         return s;
       }()},
      {std::string(40, '\x01'),
       [] {
         std::string s;
         for (int i = 0; i < 40; ++i) s += "\\u0001";
         return s;
       }()},
      {std::string(33, '\n'),
       [] {
         std::string s;
         for (int i = 0; i < 33; ++i) s += "\\n";
         return s;
       }()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tableWithExecutable(c.input), expectedTable(c.written)) << "input: " << c.input;
  }
}

TEST(JsonWriter, WritesDatesAsShortestRoundTripNumbers) {
  const struct {
    double seconds;
    const char* written;
  } cases[] = {
      {0.0, "0"},
      {736257600.25, "736257600.25"},
      {733743000.0, "733743000"},
      {-978307200.0, "-978307200"},  // 1970-01-01, before the reference date
      {-0.5, "-0.5"},
      {0.1, "0.1"},
      {1700000000.5 - Date::kUnixOffset, "721692800.5"},
      {1e-300, "1e-300"},
      {5e-324, "5e-324"},
      {9007199254740991.0, "9007199254740991"},
      {1e22, "1e+22"},
      {-1.7976931348623157e308, "-1.7976931348623157e+308"},
      {-0.0, "-0"},
  };
  for (const auto& c : cases) {
    EsFile file{.path = "f", .changeTime = Date{c.seconds}};
    const std::string document = encoded(file);
    EXPECT_EQ(document,
              std::string(R"({"path":"f","pathTuncated":false,"changeTime":)") + c.written + "}")
        << c.seconds;
    // The text reads back to the very same double.
    double back = 0;
    std::from_chars(c.written, c.written + std::strlen(c.written), back);
    EXPECT_EQ(std::signbit(back), std::signbit(c.seconds)) << c.written;
    EXPECT_EQ(back, c.seconds) << c.written;
  }
}

TEST(JsonWriter, WritesIntegerExtremes) {
  EXPECT_EQ(encoded(EsEventExit{0}), R"({"stat":0})");
  EXPECT_EQ(encoded(EsEventExit{-1}), R"({"stat":-1})");
  EXPECT_EQ(encoded(EsEventExit{256}), R"({"stat":256})");
  EXPECT_EQ(encoded(EsEventExit{std::numeric_limits<Int>::min()}),
            R"({"stat":-9223372036854775808})");
  EXPECT_EQ(encoded(EsEventExit{std::numeric_limits<Int>::max()}),
            R"({"stat":9223372036854775807})");
  EXPECT_EQ(encoded(EsEventLwSessionLogin{"ann", 4294967295u}),
            R"({"username":"ann","graphicalSesionId":4294967295})");
  // Digit counts change at every power of ten.
  for (Int v = 1, digits = 1; digits <= 18; v *= 10, ++digits) {
    EXPECT_EQ(encoded(EsEventExit{v - 1}), R"({"stat":)" + std::to_string(v - 1) + "}");
    EXPECT_EQ(encoded(EsEventExit{v}), R"({"stat":)" + std::to_string(v) + "}");
  }
}

TEST(JsonWriter, LeavesAbsentOptionalsOut) {
  EsMessage bare;
  bare.version = 7;
  bare.eventType = 114;
  bare.time = Date{1};
  bare.timeStr = "2001-01-01T00:00:01Z";
  EXPECT_EQ(encoded(bare),
            R"({"version":7,"time":1,"timeStr":"2001-01-01T00:00:01Z","process":{"ppid":0,)"
            R"("originalPpid":0,"pid":0,"groupId":0,"sessionId":0,"euid":0,"ruid":0,"egid":0,)"
            R"("rgid":0,"signingId":"","hash":"","teamId":"","isPlatformBinary":false,)"
            R"("codesigningFlags":0,"exectuable":{"path":"","pathTuncated":false}},)"
            R"("eventType":114})");

  const struct {
    const char* what;
    std::function<std::string()> document;
    const char* written;
  } cases[] = {
      {"authentication without sub-records",
       [] { return encoded(EsEventAuthentication{.success = true, .authenticationType = 4}); },
       R"({"success":true,"authenticationType":4})"},
      {"launch item add with only the item",
       [] { return encoded(EsEventBtmLaunchItemAdd{.item = {.itemUrl = "u"}}); },
       R"({"item":{"itemType":0,"legacy":false,"managed":false,"uid":0,"itemUrl":"u"}})"},
      {"launch item remove with an app but no instigator",
       [] {
         EsEventBtmLaunchItemRemove remove{.app = EsProcess{}, .item = {}};
         remove.app->exectuable.path = "a";
         const std::string d = encoded(remove);
         return d.substr(0, d.find(R"("exectuable")"));
       },
       R"({"app":{"ppid":0,"originalPpid":0,"pid":0,"groupId":0,"sessionId":0,"euid":0,)"
       R"("ruid":0,"egid":0,"rgid":0,"signingId":"","hash":"","teamId":"",)"
       R"("isPlatformBinary":false,"codesigningFlags":0,)"},
      {"screen sharing without optional texts",
       [] { return encoded(EsEventScreensharingAttach{.graphicalSessionId = 3}); },
       R"({"success":false,"sourceAddressType":0,"existingSession":false,)"
       R"("graphicalSessionId":3})"},
      {"login without texts",
       [] { return encoded(EsEventLoginLogin{.success = true, .hasUid = true, .uid = 501}); },
       R"({"success":true,"hasUid":true,"uid":501})"},
  };
  for (const auto& c : cases) {
    const std::string document = c.document();
    EXPECT_EQ(document, c.written) << c.what;
    EXPECT_EQ(document.find("null"), std::string::npos) << c.what;
  }
}

TEST(JsonWriter, EmptyArraysAreWrittenNotLeftOut) {
  const EsEventExec exec{
      .target = {}, .args = std::vector<String>{}, .envs = std::vector<String>{}};
  const std::string document = encoded(exec);
  EXPECT_NE(document.find(R"(},"args":[],"envs":[]})"), std::string::npos) << document;
  const EsEventExec absent{};
  EXPECT_EQ(encoded(absent).find("args"), std::string::npos);
  EXPECT_NE(encoded(EsEventExec{.target = {}, .args = std::vector<String>{"a", "/b"}})
                .find(R"("args":["a","\/b"]})"),
            std::string::npos);
}

TEST(JsonWriter, KeysAreTheFieldNamesAsSpelled) {
  const std::string document = encoded(samples::everyMemberMessage());
  for (const char* key : {R"("exectuable":)", R"("pathTuncated":)", R"("graphicalSesionId":)",
                          R"("graphicalSessionId":)", R"("xpMalwareDetected":)"}) {
    EXPECT_NE(document.find(key), std::string::npos) << key;
  }
  EXPECT_EQ(document.find(R"("executable":)"), std::string::npos);
  EXPECT_EQ(document.find("Maleware"), std::string::npos);
}

// A non-finite time anywhere in the tree fails the whole document and writes nothing.
TEST(JsonWriter, NonFiniteDateFailsWithoutBytes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    const char* where;
    std::function<void(EsMessage&)> spoil;
  } cases[] = {
      {"time", [&](EsMessage& m) { m.time = Date{nan}; }},
      {"process.startTime", [&](EsMessage& m) { m.process.startTime = Date{inf}; }},
      {"process.exectuable.changeTime",
       [&](EsMessage& m) { m.process.exectuable.changeTime = Date{-inf}; }},
      {"fork.child.exectuable.birthTime",
       [&](EsMessage& m) { m.fork->child.exectuable.birthTime = Date{nan}; }},
      {"auth.touchId.instigator.exectuable.modifyTime",
       [&](EsMessage& m) { m.auth->touchId->instigator.exectuable.modifyTime = Date{inf}; }},
      {"btmLaunchItemRemove.app.startTime",
       [&](EsMessage& m) { m.btmLaunchItemRemove->app->startTime = Date{nan}; }},
  };
  for (const auto& c : cases) {
    EsMessage message = samples::everyMemberMessage();
    c.spoil(message);
    EXPECT_EQ(encode(message), std::nullopt) << c.where;
    std::string buffer = "kept";
    EXPECT_FALSE(appendJson(buffer, message)) << c.where;
    EXPECT_EQ(buffer, "kept") << c.where;
    bool used = false;
    EXPECT_FALSE(withJson(message, [&](std::string_view) { used = true; })) << c.where;
    EXPECT_FALSE(used) << c.where;
  }
  EXPECT_EQ(encode(PidTable{{{1, "a"}}}).has_value(), true);
}

TEST(JsonWriter, AppendsToTheCallersBuffer) {
  std::string buffer = "prefix:";
  ASSERT_TRUE(appendJson(buffer, samples::forkExample()));
  EXPECT_EQ(buffer, "prefix:" + std::string(samples::kForkExampleDocument));
  // Reused for the next document once cleared, with no stale bytes.
  buffer.clear();
  ASSERT_TRUE(appendJson(buffer, PidTable{}));
  EXPECT_EQ(buffer, R"({"table":[]})");
}

TEST(JsonWriter, HandsOverTheSameBytesWhereverItWritesThem) {
  // Small documents are handed over from the thread's buffer, those that may not fit there from
  // one of their own.
  EsMessage large = samples::execMessage(500, 500);
  large.exec->args->push_back(std::string(20000, '\x02'));
  const std::vector<EsMessage> messages = {samples::forkExample(), large, samples::forkExample()};
  for (const EsMessage& message : messages) {
    const std::string expected = encoded(message);
    std::string handed;
    ASSERT_TRUE(withJson(message, [&](std::string_view document) { handed = document; }));
    EXPECT_EQ(handed, expected);
  }
}

TEST(JsonWriter, LargeDocumentIsWrittenWhole) {
  // Many long, escape-heavy strings (controls grow sixfold): the size bound must hold them all.
  EsMessage message = samples::execMessage(500, 500);
  message.exec->args->push_back(std::string(5000, '\x02'));
  message.exec->envs->push_back(std::string(5000, '"'));
  const std::string document = encoded(message);
  EXPECT_NE(document.find(R"(\u0002\u0002"],"envs":[)"), std::string::npos);
  const ReadResult<EsMessage> back = decode<EsMessage>(document);
  ASSERT_TRUE(back.ok()) << back.error().describe();
  EXPECT_EQ(back.value(), message);
}

}  // namespace
