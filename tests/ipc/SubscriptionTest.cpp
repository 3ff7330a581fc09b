// The subscription's wire form: what clients write is what the agent reads, and what it cannot
// read is refused with a reason.
#include <gtest/gtest.h>

#include "shared/ipc/Subscription.h"

namespace {

ipc::Subscription kindsOnly(std::initializer_list<std::uint32_t> types) {
  ipc::Subscription s;
  s.kinds.reset();
  for (std::uint32_t type : types) s.kinds.set(ipc::eventKindIndex(type));
  return s;
}

TEST(Subscription, ReadsWhatClientsWrite) {
  ipc::Subscription prefix;
  prefix.executablePath = "/usr/bin/";
  prefix.executablePathIsPrefix = true;
  ipc::Subscription exact = kindsOnly({9, 11, 15});
  exact.executablePath = "/usr/bin/ls";
  for (const ipc::Subscription& s :
       {ipc::Subscription{}, kindsOnly({}), kindsOnly({122}), kindsOnly({9, 125}), prefix, exact}) {
    const std::string wire = ipc::encodeSubscription(s);
    std::string error;
    const auto read = ipc::decodeSubscription(wire, error);
    ASSERT_TRUE(read.has_value()) << wire << ": " << error;
    EXPECT_EQ(*read, s) << wire;
  }
  EXPECT_EQ(ipc::encodeSubscription({}), "{}");
  EXPECT_EQ(ipc::encodeSubscription(kindsOnly({})), R"({"kinds":[]})");
}

TEST(Subscription, KindsAsPeopleAndProgramsWriteThem) {
  struct Case {
    const char* wire;
    ipc::Subscription expected;
  };
  const Case cases[] = {
      {R"({"kinds":["exec","OPENSSH_LOGIN","openSshLogin"]})", kindsOnly({9, 120})},
      {R"({"kinds":[122,"11"]})", kindsOnly({122, 11})},
      {R"({"kinds":[]})", kindsOnly({})},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(ipc::decodeSubscription(c.wire, error), c.expected) << c.wire << ": " << error;
  }
}

TEST(Subscription, WhatCannotBeReadIsRefusedWithAReason) {
  for (const char* wire :
       {"", "[]", "null", R"("EXEC")", R"({"kinds":"EXEC"})", R"({"kinds":["EXE"]})",
        R"({"kinds":[10]})", R"({"kinds":[4294967305]})", R"({"kinds":[-9]})", R"({"kinds":[9.5]})",
        R"({"kinds":[null]})", R"({"executablePath":7})", R"({"match":"glob"})",
        R"({"kind":["EXEC"]})", "{\"kinds\":["}) {
    std::string error;
    EXPECT_FALSE(ipc::decodeSubscription(wire, error).has_value()) << wire;
    EXPECT_FALSE(error.empty()) << wire;
  }
}

TEST(Subscription, ExecutablePathExactOrPrefix) {
  ipc::Subscription s;
  EXPECT_TRUE(s.wantsExecutable("/anything"));
  s.executablePath = "/usr/bin/ls";
  EXPECT_TRUE(s.wantsExecutable("/usr/bin/ls"));
  EXPECT_FALSE(s.wantsExecutable("/usr/bin/lsblk"));
  s.executablePathIsPrefix = true;
  EXPECT_TRUE(s.wantsExecutable("/usr/bin/lsblk"));
  EXPECT_FALSE(s.wantsExecutable("/usr/sbin/ls"));
}

}  // namespace
