// The session rules: which sessions are graphical, how session ids become numbers, and when a
// login or an unlock is reported.
#include <gtest/gtest.h>

#include "platform/endpoint_security/logind/SessionTracker.h"

using namespace platform::es::logind;

namespace {

SessionInfo session(const char* path, const char* id, const char* type, const char* cls,
                    bool locked = false) {
  return SessionInfo{path, id, "alice", type, cls, 4242, locked};
}

TEST(SessionTracker, GraphicalSessions) {
  struct Case {
    const char* type;
    const char* cls;
    bool graphical;
  } cases[] = {{"x11", "user", true},
               {"wayland", "user", true},
               {"mir", "user", true},
               {"tty", "user", false},
               {"unspecified", "user", false},
               {"x11", "greeter", false},
               {"wayland", "lock-screen", false},
               {"x11", "background", false},
               {"", "", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + "/" + c.cls);
    EXPECT_EQ(isGraphical(session("/s", "1", c.type, c.cls)), c.graphical);
    SessionTracker tracker;
    EXPECT_EQ(tracker.added(session("/s", "1", c.type, c.cls), true).has_value(), c.graphical);
  }
}

TEST(SessionTracker, SessionIdsAsNumbers) {
  struct Case {
    const char* id;
    std::uint32_t expected;
  } cases[] = {
      {"1", 1}, {"42", 42}, {"2147483647", 2147483647u}, {"c1", 0x80000001u}, {"c12", 0x8000000Cu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(graphicalSessionIdOf(c.id), c.expected);
  }
  // Everything else is hashed into the top half, apart from the plain numbers.
  for (const char* id : {"", "c", "x1", "1a", "-1", "2147483648", "c2147483648", "c-1", "seat0"}) {
    SCOPED_TRACE(id);
    EXPECT_NE(graphicalSessionIdOf(id) & 0x80000000u, 0u);
    EXPECT_EQ(graphicalSessionIdOf(id), graphicalSessionIdOf(std::string(id)));
  }
  EXPECT_NE(graphicalSessionIdOf("seat0"), graphicalSessionIdOf("seat1"));
}

TEST(SessionTracker, LoginOnlyForAnnouncedNewSessions) {
  SessionTracker tracker;
  EXPECT_FALSE(tracker.added(session("/s/1", "1", "x11", "user"), false));  // already there
  EXPECT_FALSE(tracker.added(session("/s/1", "1", "x11", "user"), true));   // announced twice
  const std::optional<SessionEvent> login =
      tracker.added(session("/s/2", "c3", "wayland", "user"), true);
  ASSERT_TRUE(login);
  EXPECT_EQ(login->kind, ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN);
  EXPECT_EQ(login->username, "alice");
  EXPECT_EQ(login->graphicalSessionId, 0x80000003u);
  EXPECT_EQ(login->leader, 4242);
  tracker.removed("/s/2");
  EXPECT_FALSE(tracker.knows("/s/2"));
  EXPECT_EQ(tracker.size(), 1u);
}

TEST(SessionTracker, Unlocks) {
  enum Step { kLock, kUnlockHint, kUnlockSignal };
  struct Case {
    const char* name;
    bool startsLocked;
    std::vector<Step> steps;
    int unlocks;
  } cases[] = {
      {"locked hint turning false", false, {kLock, kUnlockHint}, 1},
      {"unlock signal", false, {kUnlockSignal}, 1},
      {"signal, then the hint it leads to: one unlock",
       false,
       {kLock, kUnlockSignal, kUnlockHint},
       1},
      {"two lock cycles", false, {kLock, kUnlockSignal, kUnlockHint, kLock, kUnlockHint}, 2},
      {"hint false while not locked", false, {kUnlockHint, kUnlockHint}, 0},
      {"locked before the source looked", true, {kUnlockHint}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SessionTracker tracker;
    tracker.added(session("/s/1", "7", "x11", "user", c.startsLocked), false);
    tracker.added(session("/s/tty", "8", "tty", "user", c.startsLocked), false);
    int unlocks = 0;
    for (Step step : c.steps) {
      for (const char* path : {"/s/1", "/s/tty"}) {
        std::optional<SessionEvent> event;
        if (step == kLock) event = tracker.lockedHintChanged(path, true);
        if (step == kUnlockHint) event = tracker.lockedHintChanged(path, false);
        if (step == kUnlockSignal) event = tracker.unlockSignal(path);
        if (!event) continue;
        EXPECT_EQ(std::string(path), "/s/1") << "text sessions never unlock";
        EXPECT_EQ(event->kind, ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK);
        EXPECT_EQ(event->graphicalSessionId, 7u);
        ++unlocks;
      }
    }
    EXPECT_EQ(unlocks, c.unlocks);
  }
  SessionTracker empty;
  EXPECT_FALSE(empty.unlockSignal("/nowhere"));
  EXPECT_FALSE(empty.lockedHintChanged("/nowhere", false));
}

}  // namespace
