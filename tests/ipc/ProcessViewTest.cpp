// What `watchctl ps --format table` prints of a process table.
#include <gtest/gtest.h>

#include "tools/watchctl/ProcessView.h"

namespace {

TEST(ProcessView, RowsShowParentUserExecutableAndArguments) {
  const auto rows = watchctl::processTableRows(
      R"({"table":[{"pid":1,"executable":"\/usr\/lib\/systemd\/systemd","ppid":0,"uid":0,)"
      R"("args":["\/sbin\/init"]},)"
      R"({"pid":4242,"executable":"\/usr\/bin\/bash","ppid":1,"uid":4294967294,)"
      R"("args":["-bash","-c","echo 'hi'\nthere",""]},)"
      R"({"pid":77,"executable":"\/usr\/bin\/old"}]})");
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(*rows,
            "    PID    PPID USER     EXECUTABLE  ARGUMENTS\n"
            "      1       0 root     /usr/lib/systemd/systemd  /sbin/init\n"
            "   4242       1 4294967294 /usr/bin/bash  -bash -c 'echo '\\''hi'\\''\\nthere' ''\n"
            "     77       - -        /usr/bin/old  -\n");
}

TEST(ProcessView, WhatIsNotAProcessTableIsRefused) {
  for (const char* document :
       {"Hello", "{}", R"({"table":{}})", R"({"table":[{"pid":"1"}]})", R"({"table":[7]})"}) {
    EXPECT_FALSE(watchctl::processTableRows(document).has_value()) << document;
  }
  EXPECT_EQ(watchctl::processTableRows(R"({"table":[]})"),
            "    PID    PPID USER     EXECUTABLE  ARGUMENTS\n");
}

}  // namespace
