// Whole messages: dispatch by event type, the event members, and the log lines.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/capture/Conversion.h"
#include "agent/capture/EventTable.h"
#include "platform/log/Log.h"
#include "tests/support/EsMessageBuilder.h"

namespace {

using fixture::EsMessageBuilder;
using Strings = std::vector<std::string>;

struct Converted {
  model::EsMessage record;
  Strings log;
};

Converted convert(const es_message_t& message) {
  platform::log::Capture capture;
  model::EsMessage record = agent::makeEsMessage(message);
  return {std::move(record), capture.lines()};
}

// Listed here independently of the converter's table, so a row pointing at the wrong member
// shows.
Strings filledMembers(const model::EsMessage& m) {
  Strings out;
  if (m.fork) out.push_back("fork");
  if (m.exec) out.push_back("exec");
  if (m.exit) out.push_back("exit");
  if (m.xpMalwareDetected) out.push_back("xpMalwareDetected");
  if (m.lwSessionLogin) out.push_back("lwSessionLogin");
  if (m.lwSessionUnlock) out.push_back("lwSessionUnlock");
  if (m.auth) out.push_back("auth");
  if (m.openSshLogin) out.push_back("openSshLogin");
  if (m.loginLogin) out.push_back("loginLogin");
  if (m.screensharingAttach) out.push_back("screensharingAttach");
  if (m.btmLaunchItemAdd) out.push_back("btmLaunchItemAdd");
  if (m.btmLaunchItemRemove) out.push_back("btmLaunchItemRemove");
  return out;
}

struct ExpectedKind {
  std::uint32_t number;
  const char* eventDesc;
  const char* member;
  const char* logLine;  // null: none
};

constexpr ExpectedKind kExpectedKinds[] = {
    {9, "EXEC", "exec", nullptr},
    {11, "FORK", "fork", nullptr},
    {15, "EXIT", "exit", nullptr},
    {111, "AUTHENTICATION", "auth", "Warden5Agent: AUTHENTICATION"},
    {112, "XP_MALWARE_DETECTED", "xpMalwareDetected",
     "Warden5Agent: ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED"},
    {114, "LW_SESSION_LOGIN", "lwSessionLogin",
     "Warden5Agent: ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN"},
    {117, "LW_SESSION_UNLOCK", "lwSessionUnlock",
     "Warden5Agent: ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK"},
    {118, "SCREENSHARING_ATTACH", "screensharingAttach",
     "Warden5Agent: ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH"},
    {120, "OPENSSH_LOGIN", "openSshLogin", "Warden5Agent: ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN"},
    {122, "LOGIN", "loginLogin", "Warden5Agent: ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN"},
    {124, "BTM_LAUNCH_ITEM_ADD", "btmLaunchItemAdd",
     "Warden5Agent: ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD"},
    {125, "BTM_LAUNCH_ITEM_REMOVE", "btmLaunchItemRemove",
     "Warden5Agent: ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE"},
};

Strings logOf(const ExpectedKind& kind) {
  return kind.logLine ? Strings{kind.logLine} : Strings{};
}

TEST(Dispatch, EachKindSetsItsTypeDescriptionOneMemberAndItsLogLine) {
  for (const ExpectedKind& kind : kExpectedKinds) {
    SCOPED_TRACE(kind.eventDesc);
    EsMessageBuilder b(static_cast<es_event_type_t>(kind.number));
    const Converted c = convert(b.message());
    EXPECT_EQ(c.record.eventType, kind.number);
    EXPECT_EQ(c.record.eventDesc, kind.eventDesc);
    EXPECT_EQ(filledMembers(c.record), Strings{kind.member});
    EXPECT_EQ(c.log, logOf(kind));

    const agent::EventKind* row = agent::findEventKind(kind.number);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->member, kind.member);
    EXPECT_EQ(row->logLine, kind.logLine ? kind.logLine : "");
    for (const agent::EventKind& other : agent::kEventKinds) {
      EXPECT_EQ(other.isFilled(c.record), other.type == kind.number) << other.member;
    }
  }
  EXPECT_EQ(std::size(kExpectedKinds), agent::kEventKinds.size());
}

TEST(Dispatch, SubscriptionListsTheTwelveKindsInSubscriptionOrder) {
  const std::array<std::uint32_t, 12> expected = {9,   15,  11,  111, 112, 114,
                                                  117, 118, 120, 122, 124, 125};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(agent::kSubscribedEvents[i], expected[i]) << "position " << i + 1;
    EXPECT_NE(agent::findEventKind(agent::kSubscribedEvents[i]), nullptr);
  }
}

TEST(Dispatch, OtherTypesGiveTypeZeroNoMemberAndNoLogLine) {
  for (std::uint32_t type : {0u, 10u, 113u, 115u, 119u, 121u, 123u, 126u, 0xffffffffu}) {
    SCOPED_TRACE(type);
    EsMessageBuilder b(static_cast<es_event_type_t>(type));
    const Converted c = convert(b.message());
    EXPECT_EQ(c.record.eventType, 0u);
    EXPECT_EQ(c.record.eventDesc, std::nullopt);
    EXPECT_EQ(filledMembers(c.record), Strings{});
    EXPECT_EQ(c.log, Strings{});
    EXPECT_EQ(c.record.process, agent::makeEsProcess(*b.message().process));
    EXPECT_EQ(c.record.version, kEsMessageVersion);
    EXPECT_TRUE(c.record.time.has_value());
  }
}

TEST(MessageHeader, VersionProcessAndTimeWithItsFraction) {
  struct Case {
    timespec time;
    double expectedDate;  // seconds since 2001-01-01
    const char* expectedText;
  };
  const Case cases[] = {
      {{1700000000, 500000000}, 1700000000.5 - 978307200, "2023-11-14T22:13:20Z"},
      {{1714564800, 250000000}, 736257600.25, "2024-05-01T12:00:00Z"},
      {{978307200, 0}, 0, "2001-01-01T00:00:00Z"},
      {{1700000000, 999999}, 0.000999999 + 1700000000.0 - 978307200, "2023-11-14T22:13:20Z"},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_EXIT);
    b.message().time = c.time;
    b.message().version = 8;
    const model::EsMessage r = convert(b.message()).record;
    EXPECT_EQ(r.version, 8u);
    EXPECT_EQ(r.time, model::Date{c.expectedDate}) << c.expectedText;
    EXPECT_EQ(r.timeStr, c.expectedText);
    EXPECT_EQ(r.process, agent::makeEsProcess(*b.message().process));
    EXPECT_EQ(r.process.pid, 1003);  // the acting process, not one the event names
  }
}

// Nulls the pointer that the kind's member is built from.
void nullEventPointer(EsMessageBuilder& b, es_event_type_t type) {
  es_events_t& e = b.message().event;
  switch (type) {
    case ES_EVENT_TYPE_NOTIFY_EXEC:
      e.exec.target = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_FORK:
      e.fork.child = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_AUTHENTICATION:
      e.authentication = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED:
      e.xp_malware_detected = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN:
      e.lw_session_login = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK:
      e.lw_session_unlock = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH:
      e.screensharing_attach = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN:
      e.openssh_login = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN:
      e.login_login = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD:
      e.btm_launch_item_add = nullptr;
      break;
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE:
      e.btm_launch_item_remove = nullptr;
      break;
    default:
      break;
  }
}

TEST(NullPointers, MissingEventDataLeavesTheMemberAbsentButKeepsTypeAndLogLine) {
  for (const ExpectedKind& kind : kExpectedKinds) {
    if (kind.number == ES_EVENT_TYPE_NOTIFY_EXIT) continue;  // held by value, nothing to null
    SCOPED_TRACE(kind.eventDesc);
    EsMessageBuilder b(static_cast<es_event_type_t>(kind.number));
    nullEventPointer(b, static_cast<es_event_type_t>(kind.number));
    const Converted c = convert(b.message());
    EXPECT_EQ(c.record.eventType, kind.number);
    EXPECT_EQ(c.record.eventDesc, kind.eventDesc);
    EXPECT_EQ(filledMembers(c.record), Strings{});
    EXPECT_EQ(c.log, logOf(kind));
  }
  for (auto type :
       {ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD, ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE}) {
    EsMessageBuilder b(type);
    b.btmLaunchItemAdd().item = nullptr;
    b.btmLaunchItemRemove().item = nullptr;
    EXPECT_EQ(filledMembers(convert(b.message()).record), Strings{}) << type;
  }
}

TEST(NullPointers, MissingActingProcessGivesAProcessWithoutFacts) {
  EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_FORK);
  b.message().process = nullptr;
  const model::EsMessage r = convert(b.message()).record;
  model::EsProcess expected;
  expected.signingId = "unknown";
  expected.teamId = "unknown";
  expected.hash = std::string(40, '0');
  expected.exectuable.path = "unknown";
  EXPECT_EQ(r.process, expected);
  ASSERT_TRUE(r.fork.has_value());
  EXPECT_EQ(r.fork->child.pid, 2003);
}

// Tokens of `entries` back to back in one NUL-separated block, as the process sources give them.
std::vector<es_string_token_t> blockTokens(EsMessageBuilder& b, const Strings& entries) {
  std::string block;
  for (const std::string& entry : entries) block.append(entry).push_back('\0');
  const char* at = b.token(block).data;
  std::vector<es_string_token_t> tokens;
  for (const std::string& entry : entries) {
    tokens.push_back({entry.size(), at});
    at += entry.size() + 1;
  }
  return tokens;
}

TEST(Exec, ArgumentAndEnvironmentLists) {
  struct Case {
    const char* name;
    std::function<void(EsMessageBuilder&)> change;
    Strings args;
    Strings envs;
  };
  const Strings fixtureArgs = {"/opt/fixture/proc2/bin/tool2", "--config=/etc/fixture/tool.conf",
                               "two words"};
  const Strings fixtureEnvs = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/var/root",
                               "LANG=en_US.UTF-8", "FIXTURE=\"quoted\" \\ back"};
  const Case cases[] = {
      {"as given, in order", [](auto&) {}, fixtureArgs, fixtureEnvs},
      {"none at all gives two empty lists",
       [](EsMessageBuilder& b) {
         b.setArgs(std::vector<es_string_token_t>{});
         b.setEnvs(std::vector<es_string_token_t>{});
       },
       {},
       {}},
      {"a non-UTF-8 entry reads unknown in its place",
       [](EsMessageBuilder& b) {
         b.setEnvs({"A=1", "B=\xff", "C=3"});
       },
       fixtureArgs,
       {"A=1", "unknown", "C=3"}},
      {"null and empty entries",
       [](EsMessageBuilder& b) {
         b.setArgs({b.token("tool"), EsMessageBuilder::nullToken(3), b.token("")});
       },
       {"tool", "unknown", ""},
       fixtureEnvs},
      {"entries in one block, as given",
       [&](EsMessageBuilder& b) {
         b.setArgs(blockTokens(b, fixtureArgs));
         b.setEnvs(blockTokens(b, {"A=1", "", "LANG=\xc3\xa9t\xc3\xa9"}));
       },
       fixtureArgs,
       {"A=1", "", "LANG=\xc3\xa9t\xc3\xa9"}},
      {"non-UTF-8 entries in one block read unknown in their place",
       [](EsMessageBuilder& b) {
         // A sequence cut by the NUL and a continuation byte after it: each entry is bad alone.
         b.setEnvs(blockTokens(b, {"A=1", "B=\xc3", "\xa9=3", "D=\xff", "E=5"}));
       },
       fixtureArgs,
       {"A=1", "unknown", "unknown", "unknown", "E=5"}},
      {"a bad entry in a block that stops being one",
       [](EsMessageBuilder& b) {
         std::vector<es_string_token_t> tokens = blockTokens(b, {"\xff", "x"});
         tokens.push_back(b.token("y"));
         tokens.push_back(EsMessageBuilder::nullToken(2));
         b.setArgs(std::move(tokens));
       },
       {"unknown", "x", "y", "unknown"},
       fixtureEnvs},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_EXEC);
    c.change(b);
    const model::EsMessage r = convert(b.message()).record;
    ASSERT_TRUE(r.exec.has_value()) << c.name;
    EXPECT_EQ(r.exec->args, c.args) << c.name;
    EXPECT_EQ(r.exec->envs, c.envs) << c.name;
    EXPECT_EQ(r.exec->target, agent::makeEsProcess(*b.exec().target)) << c.name;
    EXPECT_EQ(r.exec->target.pid, 2003) << c.name;
  }
}

TEST(Exit, RawStatusWordSignExtended) {
  const std::pair<int, model::Int> cases[] = {
      {0, 0}, {0x0100, 256}, {0x7fffffff, 0x7fffffff}, {-1, -1}, {INT_MIN, INT_MIN}};
  for (auto [status, expected] : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_EXIT);
    b.exit().stat = status;
    const model::EsMessage r = convert(b.message()).record;
    ASSERT_TRUE(r.exit.has_value());
    EXPECT_EQ(r.exit->stat, expected) << status;
  }
}

model::EsEventAuthentication authOf(bool success, std::uint32_t type) {
  model::EsEventAuthentication a;
  a.success = success;
  a.authenticationType = type;
  return a;
}

TEST(Authentication, SubRecordSelectedByType) {
  using model::EsEventAuthentication;
  struct Case {
    const char* name;
    std::uint32_t type;
    std::function<void(EsMessageBuilder&)> change;
    // Builds the expected record; `instigator` is process 2 converted.
    std::function<EsEventAuthentication(const model::EsProcess& instigator)> expected;
  };
  const auto none = [](std::uint32_t type) {
    return [type](const model::EsProcess&) { return authOf(true, type); };
  };
  const auto autoUnlock = [](std::uint32_t kind, const char* username, const char* description) {
    return [=](const model::EsProcess&) {
      EsEventAuthentication a = authOf(true, 3);
      a.autoUnlock = model::EsEventAuthenticationAutoUnlock{username, kind, description};
      return a;
    };
  };
  const auto touchId = [](model::Int uid) {
    return [uid](const model::EsProcess& instigator) {
      EsEventAuthentication a = authOf(true, 1);
      a.touchId = model::EsEventAuthenticationTouchId{instigator, uid};
      return a;
    };
  };
  const Case cases[] = {
      {"open directory", 0, [](auto&) {},
       [](const model::EsProcess& instigator) {
         EsEventAuthentication a = authOf(true, 0);
         a.openDirectory = model::EsEventAuthenticationOpenDirectory{
             instigator, "dsRecTypeStandard:Users", "od-record-name", "/Local/Default",
             "/var/db/dslocal/nodes/Default"};
         return a;
       }},
      {"open directory without instigator", 0,
       [](EsMessageBuilder& b) { b.authOd().instigator = nullptr; }, none(0)},
      {"open directory without its structure", 0,
       [](EsMessageBuilder& b) { b.authentication().data.od = nullptr; }, none(0)},
      {"touch id", 1, [](auto&) {}, touchId(611)},
      {"touch id uid taken without has_uid", 1,
       [](EsMessageBuilder& b) { b.authTouchId().has_uid = false; }, touchId(611)},
      {"touch id uid widened without sign", 1,
       [](EsMessageBuilder& b) { b.authTouchId().uid.uid = 4294967295u; }, touchId(4294967295)},
      {"touch id without instigator", 1,
       [](EsMessageBuilder& b) { b.authTouchId().instigator = nullptr; }, none(1)},
      {"token", 2, [](auto&) {},
       [](const model::EsProcess& instigator) {
         EsEventAuthentication a = authOf(true, 2);
         a.token = model::EsEventAuthenticationToken{instigator};
         return a;
       }},
      {"token without instigator", 2,
       [](EsMessageBuilder& b) { b.authToken().instigator = nullptr; }, none(2)},
      {"auto unlock of the machine", 3, [](auto&) {},
       autoUnlock(1, "watch-user", "Unlock the machine using Apple Watch")},
      {"auto unlock of a prompt", 3,
       [](EsMessageBuilder& b) { b.authAutoUnlock().type = ES_AUTO_UNLOCK_AUTH_PROMPT; },
       autoUnlock(2, "watch-user", "Approve an authorization prompt using Apple Watch")},
      {"auto unlock of another kind", 3,
       [](EsMessageBuilder& b) { b.authAutoUnlock().type = static_cast<es_auto_unlock_type_t>(7); },
       autoUnlock(7, "watch-user", "unknown")},
      {"auto unlock without user name", 3,
       [](EsMessageBuilder& b) { b.authAutoUnlock().username = EsMessageBuilder::nullToken(); },
       autoUnlock(1, "unknown", "Unlock the machine using Apple Watch")},
      {"auto unlock without its structure", 3,
       [](EsMessageBuilder& b) { b.authentication().data.auto_unlock = nullptr; }, none(3)},
      {"first unknown type", 4, [](auto&) {}, none(4)},
      {"type 9", 9, [](auto&) {}, none(9)},
      {"failure is carried", 0, [](EsMessageBuilder& b) { b.authentication().success = false; },
       [](const model::EsProcess& instigator) {
         EsEventAuthentication a = authOf(false, 0);
         a.openDirectory = model::EsEventAuthenticationOpenDirectory{
             instigator, "dsRecTypeStandard:Users", "od-record-name", "/Local/Default",
             "/var/db/dslocal/nodes/Default"};
         return a;
       }},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_AUTHENTICATION);
    b.setAuthenticationType(c.type);
    const model::EsProcess instigator = agent::makeEsProcess(*b.authOd().instigator);
    c.change(b);
    const model::EsMessage r = convert(b.message()).record;
    ASSERT_TRUE(r.auth.has_value()) << c.name;
    EXPECT_EQ(*r.auth, c.expected(instigator)) << c.name;
  }
}

TEST(LoginWindowSession, UserNameShorterThanTwoBytesLeavesTheMemberOut) {
  struct Case {
    const char* name;
    std::optional<std::string> username;  // nullopt: null pointer
    std::size_t length;
    std::optional<std::string> expected;  // nullopt: member absent
  };
  const Case cases[] = {
      {"empty", "", 0, std::nullopt},
      {"one byte", "a", 1, std::nullopt},
      {"null pointer, length 0", std::nullopt, 0, std::nullopt},
      {"two bytes", "ab", 2, "ab"},
      {"null pointer, length 4", std::nullopt, 4, "unknown"},
      {"not UTF-8", "\xff\xfe", 2, "unknown"},
  };
  for (auto type :
       {ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN, ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK}) {
    const agent::EventKind* kind = agent::findEventKind(type);
    ASSERT_NE(kind, nullptr);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kind->eventDesc) + ": " + c.name);
      EsMessageBuilder b(type);
      const es_string_token_t token = c.username
                                          ? es_string_token_t{c.length, b.token(*c.username).data}
                                          : EsMessageBuilder::nullToken(c.length);
      b.lwSessionLogin().username = token;
      b.lwSessionUnlock().username = token;
      const Converted r = convert(b.message());
      EXPECT_EQ(r.record.eventType, static_cast<std::uint32_t>(type));
      EXPECT_EQ(r.record.eventDesc, kind->eventDesc);
      EXPECT_EQ(r.log, Strings{std::string(kind->logLine)});
      if (type == ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN) {
        EXPECT_EQ(r.record.lwSessionLogin.has_value(), c.expected.has_value());
        if (c.expected) {
          EXPECT_EQ(*r.record.lwSessionLogin, (model::EsEventLwSessionLogin{*c.expected, 257}));
        }
      } else {
        EXPECT_EQ(r.record.lwSessionUnlock.has_value(), c.expected.has_value());
        if (c.expected) {
          EXPECT_EQ(*r.record.lwSessionUnlock, (model::EsEventLwSessionUnlock{*c.expected, 258}));
        }
      }
    }
  }
}

TEST(ScreensharingAttach, OptionalTextsAndRawNumbers) {
  using model::EsEventScreensharingAttach;
  const EsEventScreensharingAttach full{
      true, 1, "192.0.2.10", "viewer@example.com", "ss-auth-type", "ss-auth-user", true, 259};
  struct Case {
    const char* name;
    std::function<void(EsMessageBuilder&, es_event_screensharing_attach_t&)> change;
    std::function<void(EsEventScreensharingAttach&)> expect;
  };
  const Case cases[] = {
      {"as given", [](auto&, auto&) {}, [](auto&) {}},
      {"empty viewer id is absent",
       [](EsMessageBuilder& b, auto& e) { e.viewer_appleid = b.token(""); },
       [](auto& r) { r.viewerAppleId.reset(); }},
      {"viewer id of length 4 without data is unknown",
       [](auto&, auto& e) { e.viewer_appleid = EsMessageBuilder::nullToken(4); },
       [](auto& r) { r.viewerAppleId = "unknown"; }},
      {"one-byte texts are absent",
       [](EsMessageBuilder& b, auto& e) {
         e.source_address = b.token("1");
         e.authentication_type = b.token("p");
         e.authentication_username = b.token("u");
       },
       [](auto& r) {
         r.sourceAddress.reset();
         r.authenticationType.reset();
         r.authenticationUsername.reset();
       }},
      {"raw numbers and flags",
       [](auto&, auto& e) {
         e.success = false;
         e.existing_session = false;
         e.source_address_type = static_cast<es_address_type_t>(77);
         e.graphical_session_id = 4294967295u;
       },
       [](auto& r) {
         r.success = false;
         r.existingSession = false;
         r.sourceAddressType = 77;
         r.graphicalSessionId = 4294967295u;
       }},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH);
    c.change(b, b.screensharingAttach());
    EsEventScreensharingAttach expected = full;
    c.expect(expected);
    const model::EsMessage r = convert(b.message()).record;
    ASSERT_TRUE(r.screensharingAttach.has_value()) << c.name;
    EXPECT_EQ(*r.screensharingAttach, expected) << c.name;
  }
}

TEST(OpenSshLogin, AddressAndUserNameAreSeparateTexts) {
  using model::EsEventOpenSshLogin;
  const EsEventOpenSshLogin full{true, 6, 2, "2001:db8::7", "ssh-user"};
  struct Case {
    const char* name;
    std::function<void(EsMessageBuilder&, es_event_openssh_login_t&)> change;
    std::function<void(EsEventOpenSshLogin&)> expect;
  };
  const Case cases[] = {
      {"as given", [](auto&, auto&) {}, [](auto&) {}},
      {"null address", [](auto&, auto& e) { e.source_address = EsMessageBuilder::nullToken(11); },
       [](auto& r) { r.sourceAddress = "unknown"; }},
      {"null user name", [](auto&, auto& e) { e.username = EsMessageBuilder::nullToken(8); },
       [](auto& r) { r.username = "unknown"; }},
      {"empty user name is text, not absent",
       [](EsMessageBuilder& b, auto& e) { e.username = b.token(""); },
       [](auto& r) { r.username = ""; }},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN);
    c.change(b, b.opensshLogin());
    EsEventOpenSshLogin expected = full;
    c.expect(expected);
    const model::EsMessage r = convert(b.message()).record;
    ASSERT_TRUE(r.openSshLogin.has_value()) << c.name;
    EXPECT_EQ(*r.openSshLogin, expected) << c.name;
  }
}

TEST(LoginLogin, OptionalTextsAndUid) {
  using model::EsEventLoginLogin;
  const EsEventLoginLogin full{false, "login-failure-message", "login-user", true, 613};
  struct Case {
    const char* name;
    std::function<void(EsMessageBuilder&, es_event_login_login_t&)> change;
    std::function<void(EsEventLoginLogin&)> expect;
  };
  const Case cases[] = {
      {"as given", [](auto&, auto&) {}, [](auto&) {}},
      {"empty failure message is absent",
       [](EsMessageBuilder& b, auto& e) { e.failure_message = b.token(""); },
       [](auto& r) { r.failureMessage.reset(); }},
      {"one-byte user name is absent",
       [](EsMessageBuilder& b, auto& e) { e.username = b.token("r"); },
       [](auto& r) { r.username.reset(); }},
      {"uid taken without has_uid",
       [](auto&, auto& e) {
         e.has_uid = false;
         e.uid.uid = 4294967295u;
       },
       [](auto& r) {
         r.hasUid = false;
         r.uid = 4294967295;
       }},
  };
  for (const Case& c : cases) {
    EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN);
    c.change(b, b.loginLogin());
    EsEventLoginLogin expected = full;
    c.expect(expected);
    const model::EsMessage r = convert(b.message()).record;
    ASSERT_TRUE(r.loginLogin.has_value()) << c.name;
    EXPECT_EQ(*r.loginLogin, expected) << c.name;
  }
}

TEST(LaunchItems, AddAndRemoveShareTheirProcessAndItemRules) {
  struct Case {
    const char* name;
    std::function<void(EsMessageBuilder&)> change;
    std::function<void(model::EsEventBtmLaunchItemAdd&)> expect;
  };
  const Case cases[] = {
      {"as given", [](auto&) {}, [](auto&) {}},
      {"no instigator",
       [](EsMessageBuilder& b) {
         b.btmLaunchItemAdd().instigator = nullptr;
         b.btmLaunchItemRemove().instigator = nullptr;
       },
       [](auto& r) { r.instigator.reset(); }},
      {"no app",
       [](EsMessageBuilder& b) {
         b.btmLaunchItemAdd().app = nullptr;
         b.btmLaunchItemRemove().app = nullptr;
       },
       [](auto& r) { r.app.reset(); }},
      {"empty app url is absent, empty item url is text",
       [](EsMessageBuilder& b) {
         b.btmItem().app_url = b.token("");
         b.btmItem().item_url = b.token("");
       },
       [](auto& r) {
         r.item.appUrl.reset();
         r.item.itemUrl = "";
       }},
      {"one-byte app url is absent, null item url unknown",
       [](EsMessageBuilder& b) {
         b.btmItem().app_url = b.token("/");
         b.btmItem().item_url = EsMessageBuilder::nullToken();
       },
       [](auto& r) {
         r.item.appUrl.reset();
         r.item.itemUrl = "unknown";
       }},
      {"raw numbers and flags",
       [](EsMessageBuilder& b) {
         b.btmItem().item_type = 99;
         b.btmItem().legacy = false;
         b.btmItem().managed = true;
         b.btmItem().uid = 4294967295u;
       },
       [](auto& r) {
         r.item.itemType = 99;
         r.item.legacy = false;
         r.item.managed = true;
         r.item.uid = 4294967295;
       }},
      {"one-byte executable path is absent",
       [](EsMessageBuilder& b) { b.btmLaunchItemAdd().executable_path = b.token("x"); },
       [](auto& r) { r.executablePath.reset(); }},
  };
  for (const Case& c : cases) {
    for (auto type :
         {ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD, ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE}) {
      SCOPED_TRACE(std::string(c.name) +
                   (type == ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD ? " (add)" : " (remove)"));
      EsMessageBuilder b(type);
      model::EsEventBtmLaunchItemAdd expected;
      expected.instigator = agent::makeEsProcess(*b.btmLaunchItemAdd().instigator);
      expected.app = agent::makeEsProcess(*b.btmLaunchItemAdd().app);
      expected.item.itemType = 4;
      expected.item.legacy = true;
      expected.item.managed = false;
      expected.item.uid = 614;
      expected.item.itemUrl = "file:///Library/LaunchDaemons/com.example.fixture.plist";
      expected.item.appUrl = "file:///Applications/Fixture.app/";
      expected.executablePath = "/Applications/Fixture.app/Contents/MacOS/Fixture";
      ASSERT_EQ(expected.instigator->pid, 2003);
      ASSERT_EQ(expected.app->pid, 3003);
      c.change(b);
      c.expect(expected);
      const model::EsMessage r = convert(b.message()).record;
      if (type == ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD) {
        ASSERT_TRUE(r.btmLaunchItemAdd.has_value());
        EXPECT_EQ(*r.btmLaunchItemAdd, expected);
      } else {
        ASSERT_TRUE(r.btmLaunchItemRemove.has_value());
        EXPECT_EQ(*r.btmLaunchItemRemove, (model::EsEventBtmLaunchItemRemove{
                                              expected.instigator, expected.app, expected.item}));
      }
    }
  }
}

TEST(XpMalwareDetected, FourTextsFromTheirOwnTokens) {
  EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED);
  const model::EsMessage as_given = convert(b.message()).record;
  ASSERT_TRUE(as_given.xpMalwareDetected.has_value());
  EXPECT_EQ(*as_given.xpMalwareDetected,
            (model::EsEventXpMalewareDetected{"5262", "OSX.Fixture.A", "0E1F2A3B-incident-7",
                                              "/Users/fixture/Downloads/p.dmg"}));
  b.xpMalwareDetected().incident_identifier = EsMessageBuilder::nullToken(3);
  b.xpMalwareDetected().signature_version = b.token("");
  const model::EsMessage changed = convert(b.message()).record;
  ASSERT_TRUE(changed.xpMalwareDetected.has_value());
  EXPECT_EQ(*changed.xpMalwareDetected,
            (model::EsEventXpMalewareDetected{"", "OSX.Fixture.A", "unknown",
                                              "/Users/fixture/Downloads/p.dmg"}));
}

// The agent converts every event into a record it keeps per kind; a record that held anything
// before must come out exactly as a fresh conversion of the same message.
TEST(ReusedRecord, ConvertingIntoAnyEarlierRecordEqualsAFreshConversion) {
  std::vector<EsMessageBuilder> messages;
  auto add = [&](es_event_type_t type, const std::function<void(EsMessageBuilder&)>& change) {
    EsMessageBuilder b(type);
    change(b);
    messages.push_back(std::move(b));
  };
  const auto none = [](EsMessageBuilder&) {};
  add(ES_EVENT_TYPE_NOTIFY_EXEC, [](EsMessageBuilder& b) {
    b.setArgs({"/usr/bin/a", "one", "two", "three", "a longer argument than any buffer so far"});
  });
  add(ES_EVENT_TYPE_NOTIFY_EXEC, none);  // fewer arguments and texts than the one before
  add(ES_EVENT_TYPE_NOTIFY_EXEC, [](EsMessageBuilder& b) {
    b.setArgs(std::vector<es_string_token_t>{});
    b.setEnvs({"A=\xff"});
  });
  add(ES_EVENT_TYPE_NOTIFY_EXEC, [](EsMessageBuilder& b) { b.exec().target = nullptr; });
  add(ES_EVENT_TYPE_NOTIFY_EXEC, [](EsMessageBuilder& b) {
    b.exec().target = b.distinctProcess(3);
    b.exec().target->executable = nullptr;  // path unknown, no times
  });
  add(ES_EVENT_TYPE_NOTIFY_FORK, [](EsMessageBuilder& b) { b.message().process = nullptr; });
  add(ES_EVENT_TYPE_NOTIFY_FORK, [](EsMessageBuilder& b) { b.fork().child = nullptr; });
  add(static_cast<es_event_type_t>(9999), none);
  for (const ExpectedKind& kind : kExpectedKinds) {
    const auto type = static_cast<es_event_type_t>(kind.number);
    add(type, none);
    if (type != ES_EVENT_TYPE_NOTIFY_EXIT) {
      add(type, [type](EsMessageBuilder& b) { nullEventPointer(b, type); });
    }
  }
  platform::log::Capture capture;
  for (const bool reversed : {false, true}) {
    model::EsMessage reused;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      es_message_t& message = messages[reversed ? messages.size() - 1 - i : i].message();
      SCOPED_TRACE(testing::Message() << "type " << message.event_type << ", step " << i
                                      << (reversed ? " (reversed)" : ""));
      agent::makeEsMessage(message, reused);
      EXPECT_EQ(reused, agent::makeEsMessage(message));
    }
  }
}

}  // namespace
