// The buffers broadcasts share: a payload holds about its bytes whatever the encoder reserved
// (a client that falls behind holds thousands), its buffer serves a later report once every
// connection has let it go, and it may outlive the pool it came from.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/xpc/PayloadPool.h"

namespace {

std::string document(std::size_t size, char fill, std::size_t reserved) {
  std::string bytes;
  bytes.reserve(reserved);
  bytes.assign(size, fill);
  return bytes;
}

TEST(PayloadPool, APayloadHoldsAboutItsBytesNotWhatTheSourceOrASpareHeld) {
  xpc::PayloadPool pool;
  struct Case {
    std::size_t size;
    std::size_t reserved;
  };
  const std::vector<Case> cases = {{0, 64},          {1, 4096},        {2001, 8 * 2001},
                                   {4097, 6 * 4097}, {60000, 1 << 20}, {70000, 1 << 20}};
  // Growing sizes, then shrinking ones: each payload is let go before the next, so the later
  // ones are offered the spares of the earlier.
  std::vector<Case> order = cases;
  order.insert(order.end(), cases.rbegin(), cases.rend());
  for (const Case& c : order) {
    SCOPED_TRACE(c.size);
    const std::string source = document(c.size, 'x', c.reserved);
    const xpc::Payload payload = pool.copy(source);
    EXPECT_EQ(*payload, source);
    EXPECT_LE(payload->capacity(), c.size + c.size / 4 + 64);
  }
}

TEST(PayloadPool, AReleasedBufferServesTheNextReportAndOutlivesThePool) {
  auto pool = std::make_unique<xpc::PayloadPool>();
  xpc::Payload first = pool->copy(document(2001, 'a', 2001));
  const char* const buffer = first->data();
  first.reset();  // the last connection wrote it
  const xpc::Payload second = pool->copy(document(1990, 'b', 1990));
  EXPECT_EQ(second->data(), buffer);
  EXPECT_EQ(*second, std::string(1990, 'b'));

  pool.reset();  // queued payloads may still be waiting to be written
  EXPECT_EQ(*second, std::string(1990, 'b'));
}

TEST(PayloadPool, ReportsOfAlternatingSizesEachTakeASpareOfTheirSize) {
  // A storm's fork, exec and exit documents, written and let go in turn: each report takes a
  // spare of its size whichever was given back last, rather than a new buffer.
  xpc::PayloadPool pool;
  const std::vector<std::size_t> sizes = {1000, 3100, 700};
  std::vector<const char*> buffers;
  {
    std::vector<xpc::Payload> first;
    for (const std::size_t size : sizes) first.push_back(pool.copy(std::string(size, 'a')));
    for (const xpc::Payload& payload : first) buffers.push_back(payload->data());
  }
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      SCOPED_TRACE(sizes[i]);
      const xpc::Payload payload = pool.copy(std::string(sizes[i] - 5, 'b'));
      EXPECT_EQ(payload->data(), buffers[i]);
    }
  }
}

TEST(PayloadPool, ABufferAConnectionStillHoldsIsNotHandedOutAgain) {
  // A client that falls behind holds its payloads for a while: later reports, more than the pool
  // keeps, must each get a buffer of their own, and the held ones keep their bytes.
  xpc::PayloadPool pool;
  std::vector<xpc::Payload> held;
  for (int i = 0; i < 400; ++i) {
    held.push_back(pool.copy(std::string(1000, static_cast<char>('a' + i % 26))));
  }
  for (int i = 0; i < 400; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(*held[static_cast<std::size_t>(i)],
              std::string(1000, static_cast<char>('a' + i % 26)));
    for (int j = 0; j < i; ++j) {
      ASSERT_NE(held[static_cast<std::size_t>(i)]->data(),
                held[static_cast<std::size_t>(j)]->data());
    }
  }
  // Let go out of order, as connections of different speeds do: what is free is reused, what is
  // still held is not.
  for (std::size_t i = 0; i < held.size(); i += 2) held[i].reset();
  for (int round = 0; round < 400; ++round) {
    const xpc::Payload next = pool.copy(std::string(1000, 'z'));
    for (std::size_t i = 1; i < held.size(); i += 2) ASSERT_NE(next->data(), held[i]->data());
    EXPECT_EQ(*next, std::string(1000, 'z'));
  }
  for (std::size_t i = 1; i < held.size(); i += 2) {
    EXPECT_EQ(*held[i], std::string(1000, static_cast<char>('a' + i % 26)));
  }
}

}  // namespace
