/* The record the in-kernel accept watcher sends when a screen-sharing server accepts a TCP
 * connection. Shared by the BPF program (C) and the agent (C++). */
#ifndef WATCH_SCREEN_SHARING_RECORDS_H
#define WATCH_SCREEN_SHARING_RECORDS_H

#ifdef __cplusplus
#include <cstdint>
#define WATCH_U8 std::uint8_t
#define WATCH_U16 std::uint16_t
#define WATCH_U32 std::uint32_t
#define WATCH_U64 std::uint64_t
#else
#define WATCH_U8 __u8
#define WATCH_U16 __u16
#define WATCH_U32 __u32
#define WATCH_U64 __u64
#endif

#define WATCH_COMM_BYTES 16

struct watch_accept_record {
  WATCH_U64 monotonic_ns;
  WATCH_U32 pid; /* the accepting process (thread group id) */
  WATCH_U16 family; /* AF_INET or AF_INET6 */
  WATCH_U16 port;   /* the peer's port, host order */
  WATCH_U8 address[16]; /* the peer's address: 4 bytes for IPv4, 16 for IPv6 */
};

#endif
