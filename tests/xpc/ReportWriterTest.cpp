// The ready-made report messages: what the batched writer puts on the socket must be, byte for
// byte, the messages appendReport spells out, whatever the payload sizes, members and serials.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/xpc/ReportWriter.h"
#include "shared/ipc/Protocols.h"

namespace {

using platform::UniqueFd;

std::string readAll(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

TEST(BatchedReportWriter, WritesExactlyTheMessagesAppendReportSpellsOut) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const UniqueFd ours(fds[0]), theirs(fds[1]);
  const auto& methods = ipc::SystemExtensionsToApp::methods;
  const std::string_view interface = "watch.SystemExtensionsToApp";

  // Payload sizes around the 8-byte alignment and the body's length field, a change of member
  // in the middle and back, and an empty report.
  struct Item {
    const ipc::ProtocolMethod* method;
    std::string payload;
  };
  const std::vector<Item> items = {
      {&methods[0], "{}"},
      {&methods[0], std::string(7, 'a')},
      {&methods[0], std::string(8, 'b')},
      {&methods[0], ""},
      {&methods[2], std::string(4093, 'c')},
      {&methods[0], std::string(1, '\0')},
      {&methods[1], std::string(300, 'd')},
  };
  auto writer = xpc::makeBatchedReportWriter(ours.get());
  std::vector<xpc::QueuedReport> batch;
  for (const Item& item : items) {
    batch.push_back({item.method, std::make_shared<const std::string>(item.payload), nullptr});
  }
  ASSERT_EQ(writer->add(std::move(batch), interface).status, xpc::ReportWriter::Status::done);

  std::string expected;
  std::uint32_t serial = 0x80000000u;  // our serials, apart from sd-bus's
  for (const Item& item : items) {
    xpc::appendReport(expected, serial++, interface, item.method->member, item.payload);
  }
  EXPECT_EQ(readAll(theirs.get()), expected);
}

}  // namespace
