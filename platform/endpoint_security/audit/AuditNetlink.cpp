#include "platform/endpoint_security/audit/AuditNetlink.h"

#include <errno.h>
#include <linux/audit.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace platform::es::audit {
namespace {

// Largest record the kernel sends (MAX_AUDIT_MESSAGE_LENGTH is 8970) with room to spare.
constexpr std::size_t kDatagramBytes = 16 * 1024;

int openControl(UniqueFd& out) {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_AUDIT));
  if (!fd) return -errno;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) return -errno;
  timeval timeout{2, 0};  // the kernel answers at once; never hang on it
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  out = std::move(fd);
  return 0;
}

// One request to the kernel, with `size` bytes of `payload` (a status or a rule) after the header.
int send(int fd, std::uint16_t type, std::uint16_t flags, const void* payload = nullptr,
         std::size_t size = 0) {
  static_assert(sizeof(audit_rule_data) >= sizeof(audit_status));
  alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(audit_rule_data))] = {};
  if (size > sizeof(audit_rule_data)) return -EMSGSIZE;
  nlmsghdr header{};
  header.nlmsg_len = NLMSG_LENGTH(size);
  header.nlmsg_type = type;
  header.nlmsg_flags = NLM_F_REQUEST | flags;
  header.nlmsg_seq = 1;
  std::memcpy(request, &header, sizeof header);
  if (size > 0) std::memcpy(request + NLMSG_HDRLEN, payload, size);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, request, header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    return -errno;
  }
  return 0;
}

// The rule as the kernel takes and lists it: the fixed part of struct audit_rule_data, no fields,
// no string buffer.
audit_rule_data taskNeverRule() {
  audit_rule_data rule{};
  rule.flags = AUDIT_FILTER_TASK;
  rule.action = AUDIT_NEVER;
  return rule;
}

// Waits for the kernel's answer of `type` (or its error), copying its payload to `payload`.
int awaitAnswer(int fd, std::uint16_t type, void* payload, std::size_t size) {
  alignas(nlmsghdr) char buffer[kDatagramBytes];
  for (int tries = 0; tries < 8; ++tries) {
    sockaddr_nl from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return errno == EAGAIN ? -ETIMEDOUT : -errno;
    if (from.nl_pid != 0) continue;
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    for (unsigned left = static_cast<unsigned>(n); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        if (error->error != 0 || type == NLMSG_ERROR) return error->error;
        continue;
      }
      if (header->nlmsg_type == type) {
        std::memset(payload, 0, size);
        std::memcpy(payload, NLMSG_DATA(header),
                    std::min<std::size_t>(size, header->nlmsg_len - NLMSG_HDRLEN));
        return 0;
      }
    }
  }
  return -EPROTO;
}

// Sends one change and waits for the kernel to take it: 0 or its error.
int change(std::uint16_t type, const void* payload, std::size_t size) {
  UniqueFd fd;
  if (int rc = openControl(fd); rc < 0) return rc;
  if (int rc = send(fd.get(), type, NLM_F_ACK, payload, size); rc < 0) return rc;
  return awaitAnswer(fd.get(), NLMSG_ERROR, nullptr, 0);
}

}  // namespace

int openReadLog(UniqueFd& out, int receiveBufferBytes) {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_AUDIT));
  if (!fd) return -errno;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = 1u << (AUDIT_NLGRP_READLOG - 1);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) return -errno;
  out = std::move(fd);
  return 0;
}

int receiveDatagram(int fd, std::string& buffer, std::size_t& length) {
  buffer.resize(kDatagramBytes);
  sockaddr_nl from{};
  socklen_t fromLength = sizeof from;
  const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) return -errno;
  // Only the kernel speaks on the group; anything else is dropped unread.
  length = from.nl_pid == 0 ? static_cast<std::size_t>(n) : 0;
  return 0;
}

bool nextRecord(std::string_view datagram, std::size_t& offset, std::uint16_t& type,
                std::string_view& text) {
  if (datagram.size() - offset < NLMSG_HDRLEN) return false;
  nlmsghdr header;
  std::memcpy(&header, datagram.data() + offset, sizeof header);
  if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > datagram.size() - offset) return false;
  type = header.nlmsg_type;
  text = datagram.substr(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
  offset += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), datagram.size() - offset);
  return true;
}

int getAuditStatus(AuditStatus& out) {
  UniqueFd fd;
  if (int rc = openControl(fd); rc < 0) return rc;
  if (int rc = send(fd.get(), AUDIT_GET, 0); rc < 0) return rc;
  audit_status status{};
  if (int rc = awaitAnswer(fd.get(), AUDIT_GET, &status, sizeof status); rc < 0) return rc;
  out.enabled = status.enabled;
  out.daemonPid = status.pid;
  return 0;
}

std::vector<std::uint32_t> readLogReaders(std::string_view text) {
  // "sk Eth Pid Groups ...": protocol, port and the first 32 group bits in hex.
  std::vector<std::uint32_t> ports;
  std::istringstream lines{std::string(text)};
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string socket;
    int protocol = -1;
    std::uint32_t port = 0;
    std::uint32_t groups = 0;
    if (!(fields >> socket >> protocol >> port >> std::hex >> groups)) continue;
    if (protocol == NETLINK_AUDIT && port != 0 && (groups & (1u << (AUDIT_NLGRP_READLOG - 1)))) {
      ports.push_back(port);
    }
  }
  return ports;
}

std::vector<std::uint32_t> readLogReaders() {
  std::ifstream file("/proc/net/netlink");
  std::ostringstream text;
  text << file.rdbuf();
  return readLogReaders(text.str());
}

int setAuditEnabled(std::uint32_t enabled) {
  audit_status status{};
  status.mask = AUDIT_STATUS_ENABLED;
  status.enabled = enabled;
  return change(AUDIT_SET, &status, sizeof status);
}

int addTaskNeverRule() {
  const audit_rule_data rule = taskNeverRule();
  return change(AUDIT_ADD_RULE, &rule, sizeof rule);
}

int deleteTaskNeverRule() {
  const audit_rule_data rule = taskNeverRule();
  return change(AUDIT_DEL_RULE, &rule, sizeof rule);
}

int hasTaskNeverRule(bool& out) {
  out = false;
  UniqueFd fd;
  if (int rc = openControl(fd); rc < 0) return rc;
  if (int rc = send(fd.get(), AUDIT_LIST_RULES, 0); rc < 0) return rc;
  const audit_rule_data wanted = taskNeverRule();
  alignas(nlmsghdr) char buffer[kDatagramBytes];
  // The rules come one to a message, then NLMSG_DONE.
  for (;;) {
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n < 0) return errno == EAGAIN ? -ETIMEDOUT : -errno;
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    for (unsigned left = static_cast<unsigned>(n); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return 0;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        if (error->error != 0) return error->error;
        continue;
      }
      if (header->nlmsg_type != AUDIT_LIST_RULES ||
          header->nlmsg_len < NLMSG_LENGTH(sizeof(audit_rule_data))) {
        continue;
      }
      audit_rule_data rule;
      std::memcpy(&rule, NLMSG_DATA(header), sizeof rule);
      if (rule.flags == wanted.flags && rule.action == wanted.action && rule.field_count == 0) {
        out = true;
      }
    }
  }
}

}  // namespace platform::es::audit
