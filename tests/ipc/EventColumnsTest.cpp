// The table columns read out of event documents: every kind's golden document, documents with
// parts missing, and the time shown in the local zone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "shared/ipc/EventColumns.h"
#include "tests/support/GoldenDocuments.h"

namespace {

std::string golden(const std::string& name) {
  return fixture::readGoldenDocument(std::string(GOLDEN_DIR) + "/" + name + ".json").value_or("");
}

TEST(EventColumns, EveryKindsGoldenDocument) {
  struct Case {
    const char* file;
    std::string_view kind;
    std::string detail;
  };
  const Case cases[] = {
      // The program executed, with its arguments; the image before the exec is the executable.
      {"exec", "EXEC", "/opt/fixture/proc2/bin/tool2 --config=/etc/fixture/tool.conf 'two words'"},
      {"fork", "FORK", "child 2003"},
      {"exit", "EXIT", "status 1280"},
      {"auth", "AUTHENTICATION", "succeeded"},
      {"loginLogin", "LOGIN", "login-user"},
      {"openSshLogin", "OPENSSH_LOGIN", "2001:db8::7 (ssh-user)"},
      {"lwSessionLogin", "LW_SESSION_LOGIN", "lw-login-user"},
      {"lwSessionUnlock", "LW_SESSION_UNLOCK", "lw-unlock-user"},
      {"screensharingAttach", "SCREENSHARING_ATTACH", "192.0.2.10 (ss-auth-user)"},
      {"xpMalwareDetected", "XP_MALWARE_DETECTED", "/Users/fixture/Downloads/p.dmg"},
      {"btmLaunchItemAdd", "BTM_LAUNCH_ITEM_ADD",
       "/Library/LaunchDaemons/com.example.fixture.plist"},
      {"btmLaunchItemRemove", "BTM_LAUNCH_ITEM_REMOVE",
       "/Library/LaunchDaemons/com.example.fixture.plist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const auto columns = ipc::eventColumns(golden(c.file));
    ASSERT_TRUE(columns.has_value());
    EXPECT_EQ(columns->kindName(), c.kind);
    EXPECT_EQ(columns->pid, 1003);
    EXPECT_EQ(columns->ppid, 1001);
    EXPECT_EQ(columns->uid, 1006u);
    EXPECT_EQ(columns->executable, "/opt/fixture/proc1/bin/tool1");
    EXPECT_EQ(columns->detail, c.detail);
    EXPECT_DOUBLE_EQ(columns->time, 731692800.25);
  }
}

TEST(EventColumns, PartsMissingOrUnknown) {
  struct Case {
    const char* what;
    const char* document;
    std::string_view kind;
    std::int64_t pid;
    std::string detail;
  };
  const Case cases[] = {
      {"unknown type", R"({"eventType":4242,"process":{"pid":7}})", "unknown", 7, ""},
      {"no process", R"({"eventType":15,"exit":{"stat":0}})", "EXIT", -1, "status 0"},
      // Classified by eventType, not by which member is present.
      {"member of another kind", R"({"eventType":122,"exec":{}})", "LOGIN", -1, ""},
      {"exec without target", R"({"eventType":9,"exec":{"args":["a","b"]}})", "EXEC", -1, "b"},
      {"quoting", R"({"eventType":9,"exec":{"args":["x","it's",""]}})", "EXEC", -1,
       R"('it'\''s' '')"},
      {"launch item with no url", R"({"eventType":124,"btmLaunchItemAdd":{"executablePath":"/x"}})",
       "BTM_LAUNCH_ITEM_ADD", -1, "/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto columns = ipc::eventColumns(c.document);
    ASSERT_TRUE(columns.has_value());
    EXPECT_EQ(columns->kindName(), c.kind);
    EXPECT_EQ(columns->pid, c.pid);
    EXPECT_EQ(columns->detail, c.detail);
  }
  EXPECT_FALSE(ipc::eventColumns("[1,2]"));
  EXPECT_FALSE(ipc::eventColumns("{\"eventType\":"));
}

TEST(EventColumns, LocalIsoTime) {
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  for (const auto& [zone, expected] : {std::pair{"UTC0", "2024-03-09T16:00:00.250+00:00"},
                                       std::pair{"CET-1", "2024-03-09T17:00:00.250+01:00"},
                                       std::pair{"<-0330>3:30", "2024-03-09T12:30:00.250-03:30"}}) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    EXPECT_EQ(ipc::localIsoTime(731692800.25), expected) << zone;
  }
  EXPECT_EQ(ipc::localIsoTime(731692800.9996), "2024-03-09T12:30:01.000-03:30");
  saved ? ::setenv("TZ", before.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
