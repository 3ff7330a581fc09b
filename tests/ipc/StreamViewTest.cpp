// What `watchctl stream` prints with its filters and formats, on golden documents.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/GoldenDocuments.h"
#include "tools/watchctl/StreamView.h"

// Options are written with designated initializers, naming only the filters a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

std::string golden(const std::string& name) {
  return fixture::readGoldenDocument(std::string(GOLDEN_DIR) + "/" + name + ".json").value_or("");
}

watchctl::StreamView made(const watchctl::StreamOptions& options) {
  std::string error;
  auto view = watchctl::StreamView::make(options, error);
  EXPECT_EQ(error, "");
  return view;
}

TEST(StreamView, FiltersPickDocuments) {
  // Golden exec: pid 1003, euid 1006, image /opt/fixture/proc1/bin/tool1, executing
  // /opt/fixture/proc2/bin/tool2.
  struct Case {
    const char* what;
    watchctl::StreamOptions options;
    bool execShown, forkShown;
  };
  const Case cases[] = {
      {"kind by name", {.kinds = {"EXEC"}}, true, false},
      {"kind in lower case", {.kinds = {"exec"}}, true, false},
      {"kind by number", {.kinds = {"11"}}, false, true},
      {"two kinds", {.kinds = {"exec", "fork"}}, true, true},
      {"pid", {.pids = {1003}}, true, true},
      {"other pid", {.pids = {1}}, false, false},
      {"glob on the image", {.pathGlob = "/opt/*/proc1/*"}, true, true},
      {"glob on the program executed", {.pathGlob = "*/tool2"}, true, false},
      {"uid", {.user = "1006"}, true, true},
      {"user by name", {.user = "root"}, false, false},
      {"filters together", {.kinds = {"exec"}, .pids = {1003}, .user = "1006"}, true, false},
  };
  const std::string exec = golden("exec"), fork = golden("fork");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto view = made(c.options);
    EXPECT_FALSE(view.printsEverythingAsIs());
    EXPECT_EQ(view.lineFor(exec).has_value(), c.execShown);
    EXPECT_EQ(view.lineFor(fork).has_value(), c.forkShown);
    if (c.execShown) {
      EXPECT_EQ(*view.lineFor(exec), exec);  // JSON lines stay as they came
    }
  }
  auto everything = made({});
  EXPECT_TRUE(everything.printsEverythingAsIs());
  EXPECT_EQ(everything.lineFor("not json"), "not json");
}

TEST(StreamView, WrongOptionsAreErrors) {
  struct Case {
    watchctl::StreamOptions options;
    const char* mentions;
  };
  const Case cases[] = {
      {{.kinds = {"exce"}}, "unknown kind \"exce\"; the kinds are EXEC, "},
      {{.kinds = {"4242"}}, "unknown kind \"4242\""},
      {{.user = "no-such-user-here"}, "no user \"no-such-user-here\""},
      {{.format = "yaml"}, "--format is json or table"},
  };
  for (const Case& c : cases) {
    std::string error;
    watchctl::StreamView::make(c.options, error);
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
  }
}

TEST(StreamView, TableRows) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  auto view = made({.format = "table"});
  ASSERT_TRUE(view.header().has_value());
  EXPECT_EQ(view.header()->rfind("TIME", 0), 0u);
  EXPECT_FALSE(view.printsEverythingAsIs());
  const auto row = view.lineFor(golden("exec"));
  ASSERT_TRUE(row.has_value());
  // The user column shows 1006's name where this machine has one (tests may add users).
  const std::string user = ipc::userName(1006);
  EXPECT_EQ(*row, "2024-03-09T16:00:00.250+00:00 EXEC                      1003    1001 " + user +
                      std::string(user.size() < 8 ? 8 - user.size() : 0, ' ') +
                      " /opt/fixture/proc1/bin/tool1  /opt/fixture/proc2/bin/tool2 "
                      "--config=/etc/fixture/tool.conf 'two words'");
  // One document, one line: a newline in an argument is shown escaped.
  const auto tricky = view.lineFor(R"({"eventType":9,"process":{"pid":5},"exec":{"args":["sh","a)"
                                   "\\n"
                                   R"(b\u0007"]}})");
  ASSERT_TRUE(tricky.has_value());
  EXPECT_NE(tricky->find("a\\nb\\x07"), std::string::npos) << *tricky;
  // Long rows are cut at a character boundary.
  const std::string longArgument(300, 'x');
  const auto cut =
      view.lineFor(R"({"eventType":9,"exec":{"args":["sh","é)" + longArgument + "\"]}}");
  ASSERT_TRUE(cut.has_value());
  EXPECT_LE(cut->size(), 200u);
  EXPECT_EQ(cut->substr(cut->size() - 3), "\u2026");
  EXPECT_FALSE(view.lineFor("{\"eventType\":").has_value());
  ::unsetenv("TZ");
  ::tzset();
}

// The agent is asked for the kinds and the glob's fixed beginning; the view filters the rest.
TEST(StreamView, AsksTheAgentForNoMoreThanItPrints) {
  struct Case {
    watchctl::StreamOptions options;
    std::string path;
    bool prefix;
    std::vector<std::uint32_t> kinds;  // empty: every kind
  };
  const Case cases[] = {
      {{}, "", false, {}},
      {{.pids = {1}, .user = "0"}, "", false, {}},
      {{.kinds = {"exec", "LOGIN"}}, "", false, {9, 122}},
      {{.pathGlob = "/usr/bin/true"}, "/usr/bin/true", false, {}},
      {{.pathGlob = "/usr/bin/*"}, "/usr/bin/", true, {}},
      {{.pathGlob = "/usr/*/x?"}, "/usr/", true, {}},
      {{.kinds = {"fork"}, .pathGlob = "*sh"}, "", true, {11}},
      {{.pathGlob = "/opt/[ab]/x"}, "/opt/", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.pathGlob);
    const ipc::Subscription subscription = made(c.options).subscription();
    EXPECT_EQ(subscription.executablePath, c.path);
    if (!c.path.empty()) {
      EXPECT_EQ(subscription.executablePathIsPrefix, c.prefix);
    }
    for (const ipc::EventKindName& kind : ipc::kEventKindNames) {
      const bool asked = c.kinds.empty() ||
                         std::find(c.kinds.begin(), c.kinds.end(), kind.eventType) != c.kinds.end();
      EXPECT_EQ(subscription.wantsKind(kind.eventType), asked) << kind.eventDesc;
    }
  }
}

TEST(StreamView, CutKeepsWholeCharacters) {
  EXPECT_EQ(watchctl::cutTo("short", 200), "short");
  // "ab" then a two-byte character across the cut.
  EXPECT_EQ(watchctl::cutTo("ab\xc3\xa9"
                            "cdefgh",
                            6),
            "ab\u2026");
  EXPECT_EQ(watchctl::printable("\x7f\t"), "\\x7f\\t");
}

}  // namespace
