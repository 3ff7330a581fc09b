// The exec environment setting applied by conversion: each mode, the built-in and operator
// patterns, the setting's texts, and entries that are odd (a '=' in the value, no '=' at all).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/capture/Conversion.h"
#include "agent/capture/ExecEnvironment.h"
#include "platform/log/Log.h"
#include "tests/support/EsMessageBuilder.h"

namespace {

using agent::ExecEnvironment;
using Mode = ExecEnvironment::Mode;
using Strings = std::vector<std::string>;

// Restores the default after each test: the setting is process-wide.
class ExecEnvironmentTest : public ::testing::Test {
 protected:
  void TearDown() override { agent::setExecEnvironment(ExecEnvironment{}); }

  static Strings convertedEnvs(const ExecEnvironment& setting, const Strings& envs) {
    agent::setExecEnvironment(setting);
    fixture::EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_EXEC);
    std::vector<es_string_token_t> tokens;
    for (const std::string& e : envs) tokens.push_back(b.token(e));
    b.setEnvs(tokens);
    const model::EsMessage r = agent::makeEsMessage(b.message());
    EXPECT_TRUE(r.exec && r.exec->envs);
    return r.exec && r.exec->envs ? *r.exec->envs : Strings{"<no list>"};
  }
};

TEST_F(ExecEnvironmentTest, ModesAndPatterns) {
  const Strings given = {"AWS_SECRET_ACCESS_KEY=x", "GITHUB_TOKEN=y", "HOME=/root",
                         "db_password=a=b=c",       "MY_KEY=k",       "KEYBOARD=us",
                         "SSH_KEY_FILE=/k",         "NOEQUALS_TOKEN", "PATH=/bin"};
  struct Case {
    const char* name;
    ExecEnvironment setting;
    Strings expected;
  };
  const Case cases[] = {
      {"all keeps every entry as given", ExecEnvironment{}, given},
      {"none gives an empty list", ExecEnvironment(Mode::none, ""), {}},
      {"names-only keeps the text before the first '='",
       ExecEnvironment(Mode::namesOnly, ""),
       {"AWS_SECRET_ACCESS_KEY", "GITHUB_TOKEN", "HOME", "db_password", "MY_KEY", "KEYBOARD",
        "SSH_KEY_FILE", "NOEQUALS_TOKEN", "PATH"}},
      {"redact: built-in patterns, case-insensitive, value with '=' cut whole, no '=' kept",
       ExecEnvironment(Mode::redact, ""),
       {"AWS_SECRET_ACCESS_KEY=<redacted>", "GITHUB_TOKEN=<redacted>", "HOME=/root",
        "db_password=<redacted>", "MY_KEY=<redacted>", "KEYBOARD=us", "SSH_KEY_FILE=<redacted>",
        "NOEQUALS_TOKEN", "PATH=/bin"}},
      {"redact: operator patterns add to the built-in ones",
       ExecEnvironment(Mode::redact, "home:::keyb?ard"),
       {"AWS_SECRET_ACCESS_KEY=<redacted>", "GITHUB_TOKEN=<redacted>", "HOME=<redacted>",
        "db_password=<redacted>", "MY_KEY=<redacted>", "KEYBOARD=<redacted>",
        "SSH_KEY_FILE=<redacted>", "NOEQUALS_TOKEN", "PATH=/bin"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(convertedEnvs(c.setting, given), c.expected) << c.name;
  }
}

TEST_F(ExecEnvironmentTest, RecordConvertedAgainGetsTheSettingAnew) {
  // The agent converts into the record of the previous exec: a redacted entry must not leave
  // its shortened buffer behind for the next exec's value, nor the reverse.
  agent::setExecEnvironment(ExecEnvironment(Mode::redact, ""));
  fixture::EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_EXEC);
  model::EsMessage record;
  b.setEnvs({"API_TOKEN=first-secret-value", "HOME=/root"});
  agent::makeEsMessage(b.message(), record);
  b.setEnvs({"HOME=/home/u", "SESSION_TOKEN=second"});
  agent::makeEsMessage(b.message(), record);
  ASSERT_TRUE(record.exec && record.exec->envs);
  EXPECT_EQ(*record.exec->envs, (Strings{"HOME=/home/u", "SESSION_TOKEN=<redacted>"}));
}

TEST_F(ExecEnvironmentTest, SettingTexts) {
  struct Case {
    const char* mode;
    Mode expected;
    bool logged;
  };
  const Case cases[] = {
      {nullptr, Mode::all, false},       {"", Mode::all, false},
      {"all", Mode::all, false},         {"names-only", Mode::namesOnly, false},
      {"NONE", Mode::none, false},       {"Redact", Mode::redact, false},
      {"redcat", Mode::namesOnly, true}, {"names_only", Mode::namesOnly, true},
  };
  for (const Case& c : cases) {
    platform::log::Capture capture;
    EXPECT_EQ(ExecEnvironment::fromSetting(c.mode, nullptr).mode(), c.expected)
        << (c.mode ? c.mode : "(unset)");
    EXPECT_EQ(!capture.lines().empty(), c.logged) << (c.mode ? c.mode : "(unset)");
  }
  const ExecEnvironment withExtra = ExecEnvironment::fromSetting("redact", "MY_*:OTHER");
  EXPECT_TRUE(withExtra.isSecretName("my_thing"));
  EXPECT_TRUE(withExtra.isSecretName("other"));
  EXPECT_FALSE(withExtra.isSecretName("OTHERS"));
}

}  // namespace
