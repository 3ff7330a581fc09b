// The kernel's audit netlink interface, as thin calls: the read-only multicast group that
// every reader may join beside the audit daemon, and the status requests that switch auditing
// on and off. Every call returns 0 or a negative errno.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"

namespace platform::es::audit {

// A socket joined to AUDIT_NLGRP_READLOG (needs CAP_AUDIT_READ).
int openReadLog(UniqueFd& out, int receiveBufferBytes);

// One datagram's records, read without waiting: calls `each(type, text)` for every record the
// kernel sent. -EAGAIN when nothing waits; -ENOBUFS when the kernel dropped records for lack of
// buffer space.
template <class Each>
int receiveRecords(int fd, std::string& buffer, Each&& each);

struct AuditStatus {
  std::uint32_t enabled = 0;  // 0 off, 1 on, 2 on and locked
  std::uint32_t daemonPid = 0;
};

int getAuditStatus(AuditStatus& out);

// The netlink ports (the pid of a process's first socket) of the sockets joined to the
// read-only group, from /proc/net/netlink's text: this network namespace's, which is the only
// one the kernel multicasts audit records to.
std::vector<std::uint32_t> readLogReaders(std::string_view procNetNetlink);
std::vector<std::uint32_t> readLogReaders();
// Needs CAP_AUDIT_CONTROL.
int setAuditEnabled(std::uint32_t enabled);

// A rule on the task filter, with no fields and the action "never": the processes the kernel
// creates from then on get no audit context, and their system calls skip the audit path. Once
// auditing has been on, the kernel gives every new process a context otherwise (until reboot),
// whether or not any rule audits system calls. Need CAP_AUDIT_CONTROL.
int addTaskNeverRule();     // -EEXIST when one is in place
int deleteTaskNeverRule();  // -ENOENT when none is
// Whether one is in place (needs CAP_AUDIT_CONTROL).
int hasTaskNeverRule(bool& out);

// ---- implementation -------------------------------------------------------------------------

// Reads one datagram into `buffer`; 0 with `length` set, or -errno.
int receiveDatagram(int fd, std::string& buffer, std::size_t& length);
// The next record of `datagram` at `offset`: false when none is left (or it is malformed).
bool nextRecord(std::string_view datagram, std::size_t& offset, std::uint16_t& type,
                std::string_view& text);

template <class Each>
int receiveRecords(int fd, std::string& buffer, Each&& each) {
  std::size_t length = 0;
  if (int rc = receiveDatagram(fd, buffer, length); rc < 0) return rc;
  const std::string_view datagram(buffer.data(), length);
  std::size_t offset = 0;
  std::uint16_t type = 0;
  std::string_view text;
  while (nextRecord(datagram, offset, type, text)) each(type, text);
  return 0;
}

}  // namespace platform::es::audit
