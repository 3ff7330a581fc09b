// The ready-made report messages: what the batched writer puts on the socket must be, byte for
// byte, the messages appendReport spells out, whatever the payload sizes, members and serials.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
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
  using Protocol = ipc::SystemExtensionsToApp;
  const std::string_view interface = "watch.SystemExtensionsToApp";

  // Payload sizes around the 8-byte alignment and the body's length field, a change of member
  // in the middle and back, and an empty report.
  struct Item {
    const ipc::ProtocolMethod* method;
    std::string payload;
  };
  const std::vector<Item> items = {
      {&Protocol::kReportEndpointMessageWithMsg, "{}"},
      {&Protocol::kReportEndpointMessageWithMsg, std::string(7, 'a')},
      {&Protocol::kReportEndpointMessageWithMsg, std::string(8, 'b')},
      {&Protocol::kReportEndpointMessageWithMsg, ""},
      {&Protocol::kReportExecutableForPidWithMsg, std::string(4093, 'c')},
      {&Protocol::kReportEndpointMessageWithMsg, std::string(1, '\0')},
      {&Protocol::kReportNetworkMessageWithMsg, std::string(300, 'd')},
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

TEST(BatchedReportWriter, ResumesMidReportWhenTheSocketFillsAndDropsWhatIsLeft) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const UniqueFd ours(fds[0]), theirs(fds[1]);
  const int small = 4096;
  ASSERT_EQ(::setsockopt(ours.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  const auto& method = ipc::SystemExtensionsToApp::kReportEndpointMessageWithMsg;
  const std::string_view interface = "watch.SystemExtensionsToApp";

  // 300 reports of uneven sizes up to 40 KB: more pieces than one system call takes, and far
  // more bytes than the socket holds, so writes stop inside headers and payloads alike, and
  // several times inside one payload.
  std::vector<std::string> payloads;
  for (int i = 0; i < 300; ++i) {
    payloads.push_back(std::string(static_cast<std::size_t>(1 + (i * 7919) % 40000),
                                   static_cast<char>('a' + i % 26)));
  }
  auto handler = std::make_shared<const std::function<void(const NSError&)>>([](const NSError&) {});
  auto writer = xpc::makeBatchedReportWriter(ours.get());
  std::vector<xpc::QueuedReport> batch;
  for (const std::string& payload : payloads) {
    batch.push_back({&method, std::make_shared<const std::string>(payload), handler});
  }
  xpc::ReportWriter::Result result = writer->add(std::move(batch), interface);
  std::string received;
  int rounds = 0;
  while (result.status == xpc::ReportWriter::Status::blocked) {
    EXPECT_TRUE(writer->halfWritten());
    received += readAll(theirs.get());
    result = writer->flush();
    ++rounds;
  }
  ASSERT_EQ(result.status, xpc::ReportWriter::Status::done);
  EXPECT_FALSE(writer->halfWritten());
  EXPECT_GT(rounds, 10);
  received += readAll(theirs.get());

  std::string expected;
  std::uint32_t serial = 0x80000000u;
  for (const std::string& payload : payloads) {
    xpc::appendReport(expected, serial++, interface, method.member, payload);
  }
  EXPECT_EQ(received, expected);

  // A connection that ends with reports half written hands back their error handler.
  std::vector<xpc::QueuedReport> more;
  for (int i = 0; i < 20; ++i) {
    more.push_back({&method, std::make_shared<const std::string>(9000, 'z'), handler});
  }
  ASSERT_EQ(writer->add(std::move(more), interface).status, xpc::ReportWriter::Status::blocked);
  std::vector<xpc::SharedErrorHandler> unwritten;
  EXPECT_GT(writer->drop(unwritten), 0u);
  EXPECT_EQ(unwritten.size(), 1u);  // one handler, shared by every report
  EXPECT_FALSE(writer->halfWritten());
}

}  // namespace
