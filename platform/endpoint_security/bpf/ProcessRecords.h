/* The records the in-kernel process programs send to user space through the ring buffer. Shared
 * by the BPF programs (C) and the agent (C++): fixed-width members only, no padding surprises. */
#ifndef WATCH_PROCESS_RECORDS_H
#define WATCH_PROCESS_RECORDS_H

#ifdef __cplusplus
#include <cstdint>
#define WATCH_U8 std::uint8_t
#define WATCH_U32 std::uint32_t
#define WATCH_S64 std::int64_t
#define WATCH_U64 std::uint64_t
#else
#define WATCH_U8 __u8
#define WATCH_U32 __u32
#define WATCH_S64 __s64
#define WATCH_U64 __u64
#endif

enum watch_record_kind {
  WATCH_RECORD_EXEC = 1,
  WATCH_RECORD_FORK = 2,
  WATCH_RECORD_EXIT = 3,
};

/* Caps on what one exec carries. The path is the executable's, walked from its dentry to the
 * root of the process's mount tree; arguments and environment share one area. */
#define WATCH_PATH_CAP 4096
#define WATCH_ARGS_ENV_CAP (128 * 1024)
/* While more than half of the ring is unread, an exec keeps at most this much of its arguments and
 * environment, and less again past the high mark: a flood of large environments then costs its
 * own detail, not other users' events. */
#define WATCH_RING_FILL_MARK_PERCENT 50
#define WATCH_ARGS_ENV_PRESSED_CAP 4096
#define WATCH_RING_HIGH_MARK_PERCENT 75
#define WATCH_ARGS_ENV_HIGH_PRESSED_CAP 512

enum watch_exec_flags {
  WATCH_EXEC_PATH_TRUNCATED = 1u << 0,
  WATCH_EXEC_ARGS_TRUNCATED = 1u << 1,
  WATCH_EXEC_ENV_TRUNCATED = 1u << 2,
  WATCH_EXEC_ARGS_UNREADABLE = 1u << 3,
  WATCH_EXEC_ENV_UNREADABLE = 1u << 4,
  WATCH_EXEC_NO_FILE = 1u << 5,
  WATCH_EXEC_CALLER_KNOWN = 1u << 6, /* `caller` holds the ids before the exec */
  /* Arguments or environment cut to a pressed cap: the ring was past its fill mark. */
  WATCH_EXEC_CUT_UNDER_PRESSURE = 1u << 7,
};

/* What every record starts with; ids are those of the initial pid namespace. */
struct watch_task {
  WATCH_U32 pid; /* thread group id */
  WATCH_U32 ppid;
  WATCH_U32 pgid;
  WATCH_U32 sid;
  WATCH_U32 ruid;
  WATCH_U32 euid;
  WATCH_U32 rgid;
  WATCH_U32 egid;
  WATCH_U32 kernel; /* 1: a kernel thread */
  WATCH_U32 reserved;
  WATCH_U64 start_boot_ns; /* boot-clock time the process started */
};

/* Credentials of a task. */
struct watch_creds {
  WATCH_U32 ruid;
  WATCH_U32 euid;
  WATCH_U32 rgid;
  WATCH_U32 egid;
};

struct watch_record_header {
  WATCH_U32 kind;
  WATCH_U32 flags;
  WATCH_U64 monotonic_ns; /* when it happened */
};

struct watch_fork_record {
  struct watch_record_header header;
  struct watch_task parent;
  struct watch_task child;
};

struct watch_exit_record {
  struct watch_record_header header;
  struct watch_task task; /* as it ends: ids, group, session and parent of that moment */
  WATCH_U32 status;       /* raw wait status */
  WATCH_U32 reserved;
};

/* Followed by path_bytes of path components (leaf first, each one length byte and its bytes),
 * then args_bytes of NUL-separated arguments, then env_bytes of NUL-separated environment. */
struct watch_exec_record {
  struct watch_record_header header;
  struct watch_task task;    /* after the exec: new credentials */
  struct watch_creds caller; /* the caller's, as the exec began (WATCH_EXEC_CALLER_KNOWN) */
  WATCH_U64 dev;             /* the executable's inode, kernel device encoding */
  WATCH_U64 ino;
  WATCH_S64 size;
  WATCH_S64 atime_sec;
  WATCH_S64 mtime_sec;
  WATCH_S64 ctime_sec;
  WATCH_U32 atime_nsec;
  WATCH_U32 mtime_nsec;
  WATCH_U32 ctime_nsec;
  WATCH_U32 mode;
  WATCH_U32 nlink;
  WATCH_U32 uid;
  WATCH_U32 gid;
  WATCH_U32 path_bytes;
  WATCH_U32 args_bytes;
  WATCH_U32 env_bytes;
  WATCH_U32 args_total; /* the whole area's size in the process, before any cut */
  WATCH_U32 env_total;
};

#endif
