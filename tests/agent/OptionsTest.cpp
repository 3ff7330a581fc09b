// The agent's settings as its composition reads them: each variable keeps its name and meaning,
// and a malformed value keeps the default.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "agent/capture/Composition.h"
#include "platform/log/Log.h"

namespace {

using Mode = agent::ExecEnvironment::Mode;
using Preference = platform::es::ProcessSourcePreference;
using Variables = std::map<std::string, std::string>;

agent::Options read(const Variables& variables) {
  return agent::Options::from([&](const char* name) -> const char* {
    const auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  });
}

TEST(AgentOptions, EachVariableSetsItsPart) {
  platform::log::Capture log;
  const agent::Options defaults = read({});
  EXPECT_EQ(defaults.yara.rulesFolder, "/etc/watchagent/rules");
  EXPECT_EQ(defaults.yara.maxFileBytes, 64 << 20);
  EXPECT_EQ(defaults.execEnvironment.mode(), Mode::all);
  EXPECT_EQ(defaults.processSource, Preference::automatic);
  EXPECT_TRUE(defaults.audit.mayEnable);
  EXPECT_EQ(defaults.logind.busAddress, "");
  EXPECT_EQ(defaults.services.path, "/run/xpc");

  const agent::Options set = read({{"WATCH_YARA_RULES", "/srv/rules"},
                                   {"WATCH_YARA_MAX_BYTES", "1000"},
                                   {"WATCH_EVENT_RING_MB", "8"},
                                   {"WATCH_EXEC_ENVIRONMENT", "names-only"},
                                   {"WATCH_EVENT_SOURCE", "connector"},
                                   {"WATCH_AUDIT_ENABLE", "0"},
                                   {"WATCH_LOGIND_BUS", "unix:path=/run/test-bus"},
                                   {"XPC_SERVICES_DIR", "/run/test-xpc"}});
  EXPECT_EQ(set.yara.rulesFolder, "/srv/rules");
  EXPECT_EQ(set.yara.maxFileBytes, 1000);
  EXPECT_EQ(set.ringBytes, std::size_t{8} << 20);
  EXPECT_EQ(set.execEnvironment.mode(), Mode::namesOnly);
  EXPECT_EQ(set.processSource, Preference::connector);
  EXPECT_FALSE(set.audit.mayEnable);
  EXPECT_EQ(set.logind.busAddress, "unix:path=/run/test-bus");
  EXPECT_EQ(set.services.path, "/run/test-xpc");
  EXPECT_TRUE(log.lines().empty()) << ::testing::PrintToString(log.lines());
}

TEST(AgentOptions, UnusableValuesKeepTheDefaults) {
  const struct {
    const char* name;
    const char* value;
    const char* logged;  // or null
  } cases[] = {
      {"WATCH_YARA_MAX_BYTES", "12k",
       "==== watchagent WATCH_YARA_MAX_BYTES=12k is not a number of bytes, ignoring"},
      {"WATCH_YARA_MAX_BYTES", "-1",
       "==== watchagent WATCH_YARA_MAX_BYTES=-1 is not a number of bytes, ignoring"},
      {"WATCH_YARA_RULES", "", nullptr},
      {"XPC_SERVICES_DIR", "", nullptr},
      {"WATCH_EVENT_SOURCE", "kernel", nullptr},
      {"WATCH_AUDIT_ENABLE", "1", nullptr},
      {"WATCH_AUDIT_ENABLE", "no", nullptr},
  };
  const agent::Options defaults = read({});
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    platform::log::Capture log;
    const agent::Options options = read({{c.name, c.value}});
    EXPECT_EQ(options.yara.maxFileBytes, defaults.yara.maxFileBytes);
    EXPECT_EQ(options.yara.rulesFolder, defaults.yara.rulesFolder);
    EXPECT_EQ(options.services.path, defaults.services.path);
    EXPECT_EQ(options.processSource, defaults.processSource);
    EXPECT_EQ(options.audit.mayEnable, defaults.audit.mayEnable);
    EXPECT_EQ(log.lines(),
              c.logged ? std::vector<std::string>{c.logged} : std::vector<std::string>{});
  }
}

}  // namespace
