#include <gtest/gtest.h>

#include "platform/log/Log.h"

TEST(Log, CapturesFormattedLinesInOrder) {
  platform::log::Capture capture;
  NSLog("ERROR: \"es_new_client: %d\"", 7);
  os_log(OS_LOG_DEFAULT, "**** SystemExtensionManager request didFailWithError: %{public}s",
         "denied");
  os_log(OS_LOG_DEFAULT, "**** SystemExtensionManager didFinishWithResult: %ld for %ld", 0L, 2L);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                 "ERROR: \"es_new_client: 7\"",
                                 "**** SystemExtensionManager request didFailWithError: denied",
                                 "**** SystemExtensionManager didFinishWithResult: 0 for 2"}));
}

TEST(Log, LongLinesAreNotCut) {
  platform::log::Capture capture;
  const std::string long_text(5000, 'x');
  NSLog("%s", long_text.c_str());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], long_text);
}

// A test's capture inside a fixture's: the inner one takes the lines while it lives, then the
// outer one takes them again; neither loses what it already holds.
TEST(Log, CapturesNest) {
  platform::log::Capture outer;
  NSLog("before");
  {
    platform::log::Capture inner;
    NSLog("inside");
    EXPECT_EQ(inner.lines(), std::vector<std::string>{"inside"});
  }
  NSLog("after");
  EXPECT_EQ(outer.lines(), (std::vector<std::string>{"before", "after"}));
}
