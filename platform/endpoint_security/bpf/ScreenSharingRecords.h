/* What the in-kernel viewer watcher and the agent share: the identity of a screen-sharing
 * server's executable (the key user space puts in the `servers` map), a server's listening port
 * (the key of the `listeners` map, filled by the kernel at listen() and by user space for servers
 * already listening) and the record sent once a server has accepted or refused a viewer.
 * Shared by the BPF program (C) and the agent (C++). */
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

/* A file: device in the kernel's encoding (major << 20 | minor) and inode number. */
struct watch_file_id {
  WATCH_U64 dev;
  WATCH_U64 ino;
};

/* A listening TCP port in one network namespace. */
struct watch_listener_key {
  WATCH_U64 netns; /* the namespace's cookie */
  WATCH_U32 port;  /* host order */
  WATCH_U32 reserved;
};

/* The process that opened a server's listening socket. */
struct watch_listener {
  WATCH_U32 pid;
  WATCH_U32 reserved;
};

enum watch_viewer_outcome {
  WATCH_VIEWER_REFUSED = 0,   /* the server's security result said failed */
  WATCH_VIEWER_ACCEPTED = 1,  /* security result OK, or initialisation sent without one */
  WATCH_VIEWER_UNDECIDED = 2, /* the server's stream is no handshake the watcher reads */
};

struct watch_viewer_record {
  WATCH_U64 monotonic_ns; /* when the server sent its answer */
  WATCH_U64 cookie;       /* the connection's socket cookie */
  WATCH_U32 pid;          /* the server (see watch_listener) */
  WATCH_U32 outcome;      /* enum watch_viewer_outcome */
  WATCH_U16 family;       /* AF_INET or AF_INET6 */
  WATCH_U16 port;         /* the viewer's port, host order */
  WATCH_U8 address[16];   /* the viewer's address: 4 bytes for IPv4, 16 for IPv6 */
  WATCH_U32 reserved;
};

#endif
