// SPDX-License-Identifier: GPL-2.0
/* Viewers of screen-sharing servers, seen per connection and never per system call:
 *
 * - at listen(), in the listening process (sock_ops TCP_LISTEN_CB), a socket opened by a process
 *   whose executable is one of the servers in `servers` (device and inode, filled by user space)
 *   becomes a known listener: its port and network namespace map to the process;
 * - a connection accepted on a known listener (PASSIVE_ESTABLISHED_CB, in softirq) is put in
 *   the `watched` socket map, which runs `on_server_send` on each send of the server on it;
 * - that program follows the server's side of the RFB handshake and sends one record when the
 *   server has answered the viewer's authentication: accepted (security result OK, or the
 *   initialisation message where the protocol sends no result) or refused. A stream that is not
 *   an RFB handshake this reader knows ends the watch with an "undecided" record. User space then
 *   takes the socket out of the map, so the rest of the session is not looked at.
 *
 * Other sockets pay one map lookup per connection. */
#include <linux/types.h>
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>

#include "ScreenSharingRecords.h"

typedef __u8 u8;
typedef __u16 u16;
typedef __u32 u32;
typedef __u64 u64;

#define AF_INET 2
#define AF_INET6 10

struct super_block {
  unsigned int s_dev;
} __attribute__((preserve_access_index));

struct inode {
  struct super_block *i_sb;
  unsigned long i_ino;
} __attribute__((preserve_access_index));

struct file {
  struct inode *f_inode;
} __attribute__((preserve_access_index));

struct mm_struct {
  struct file *exe_file;
} __attribute__((preserve_access_index));

struct task_struct {
  int tgid;
  struct mm_struct *mm;
} __attribute__((preserve_access_index));

char LICENSE[] SEC("license") = "GPL";

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 64 * 1024);
} viewers SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, u32);
  __type(value, u64);
} viewers_lost SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 64);
  __type(key, struct watch_file_id);
  __type(value, u8);
} servers SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 1024);
  __type(key, struct watch_listener_key);
  __type(value, struct watch_listener);
} listeners SEC(".maps");

enum stage {
  STAGE_VERSION, /* "RFB xxx.yyy\n" */
  STAGE_TYPES,   /* 3.7 and later: the list of security types */
  STAGE_TYPE33,  /* 3.3: the security type the server chose */
  STAGE_AUTH,    /* a challenge, the security result or the initialisation */
  STAGE_INIT,    /* 3.3 without authentication: the initialisation */
  STAGE_DONE,
};

/* A connection to a server, from its acceptance until the server's answer. */
struct handshake {
  u64 cookie; /* the socket's, the key in `watched` */
  u32 pid;
  u32 stage;
  u16 family;
  u16 port;
  u8 address[16];
};

struct {
  __uint(type, BPF_MAP_TYPE_SK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, int);
  __type(value, struct handshake);
} handshakes SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_SOCKHASH);
  __uint(max_entries, 1024);
  __type(key, u64); /* socket cookie */
  __type(value, u64);
} watched SEC(".maps");

static __always_inline struct watch_listener_key listener_key(struct bpf_sock_ops *skops) {
  struct watch_listener_key key = {};
  key.netns = bpf_get_netns_cookie(skops);
  key.port = skops->local_port;
  return key;
}

/* listen() of a server's executable: remember the port, and hear of its close. */
static __always_inline void on_listen(struct bpf_sock_ops *skops) {
  struct task_struct *task = (void *)bpf_get_current_task();
  struct inode *inode = BPF_CORE_READ(task, mm, exe_file, f_inode);
  if (!inode) return;
  struct watch_file_id id = {};
  id.dev = BPF_CORE_READ(inode, i_sb, s_dev);
  id.ino = BPF_CORE_READ(inode, i_ino);
  if (!bpf_map_lookup_elem(&servers, &id)) return;
  struct watch_listener_key key = listener_key(skops);
  struct watch_listener listener = {};
  listener.pid = BPF_CORE_READ(task, tgid);
  bpf_map_update_elem(&listeners, &key, &listener, BPF_ANY);
  bpf_sock_ops_cb_flags_set(skops, BPF_SOCK_OPS_STATE_CB_FLAG);
}

static __always_inline void on_state(struct bpf_sock_ops *skops) {
  if (skops->args[0] != BPF_TCP_LISTEN || skops->args[1] != BPF_TCP_CLOSE) return;
  struct watch_listener_key key = listener_key(skops);
  bpf_map_delete_elem(&listeners, &key);
}

/* A connection accepted on a known listener: watch what the server sends on it. */
static __always_inline void on_accepted(struct bpf_sock_ops *skops) {
  struct watch_listener_key key = listener_key(skops);
  struct watch_listener *listener = bpf_map_lookup_elem(&listeners, &key);
  if (!listener) return;
  struct bpf_sock *sk = skops->sk;
  if (!sk) return;
  struct handshake h = {};
  h.cookie = bpf_get_socket_cookie(skops);
  h.pid = listener->pid;
  h.stage = STAGE_VERSION;
  h.family = skops->family;
  h.port = (u16)bpf_ntohl(skops->remote_port);
  if (h.family == AF_INET) {
    u32 address = skops->remote_ip4;
    __builtin_memcpy(h.address, &address, 4);
  } else if (h.family == AF_INET6) {
    u32 address[4] = {skops->remote_ip6[0], skops->remote_ip6[1], skops->remote_ip6[2],
                      skops->remote_ip6[3]};
    __builtin_memcpy(h.address, address, 16);
  } else {
    return;
  }
  /* The state lives and ends with the socket. */
  if (!bpf_sk_storage_get(&handshakes, sk, &h, BPF_SK_STORAGE_GET_F_CREATE)) return;
  if (bpf_sock_hash_update(skops, &watched, &h.cookie, BPF_NOEXIST) != 0) {
    bpf_sk_storage_delete(&handshakes, sk);
  }
}

SEC("sockops")
int on_sock_ops(struct bpf_sock_ops *skops) {
  switch (skops->op) {
    case BPF_SOCK_OPS_TCP_LISTEN_CB:
      on_listen(skops);
      break;
    case BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB:
      on_accepted(skops);
      break;
    case BPF_SOCK_OPS_STATE_CB:
      on_state(skops);
      break;
    default:
      break;
  }
  return 1;
}

/* The head of one send, copied out of the message. */
#define HEAD_BYTES 64
struct head {
  u8 bytes[HEAD_BYTES];
  u32 have; /* bytes copied */
  u32 size; /* bytes in the send */
};

static __always_inline u8 byte_at(const struct head *head, u32 at) {
  return head->bytes[at & (HEAD_BYTES - 1)];
}

static __always_inline u32 be32_at(const struct head *head, u32 at) {
  return ((u32)byte_at(head, at) << 24) | ((u32)byte_at(head, at + 1) << 16) |
         ((u32)byte_at(head, at + 2) << 8) | byte_at(head, at + 3);
}

static __always_inline int is_digit(u8 c) { return c >= '0' && c <= '9'; }

/* "RFB 003.008\n": the minor version, or -1 when it is no protocol version. */
static __always_inline int version_minor(const struct head *head) {
  if (head->have < 12) return -1;
  if (byte_at(head, 0) != 'R' || byte_at(head, 1) != 'F' || byte_at(head, 2) != 'B' ||
      byte_at(head, 3) != ' ' || byte_at(head, 7) != '.' || byte_at(head, 11) != '\n') {
    return -1;
  }
  for (int i = 8; i < 11; i++) {
    if (!is_digit(byte_at(head, i))) return -1;
  }
  return (byte_at(head, 8) - '0') * 100 + (byte_at(head, 9) - '0') * 10 + (byte_at(head, 10) - '0');
}

/* The server's initialisation: size, a pixel format of 8, 16 or 32 bits and a name that fits. */
static __always_inline int is_server_init(const struct head *head, u32 at) {
  u32 left = head->size - at;
  if (left < 24 || at + 24 > head->have) return 0;
  u8 bpp = byte_at(head, at + 4);
  u8 depth = byte_at(head, at + 5);
  u8 true_colour = byte_at(head, at + 7);
  if ((bpp != 8 && bpp != 16 && bpp != 32) || depth == 0 || depth > bpp || true_colour > 1) {
    return 0;
  }
  return be32_at(head, at + 20) <= left - 24;
}

static __always_inline void report(struct handshake *h, u32 outcome) {
  h->stage = STAGE_DONE;
  struct watch_viewer_record *r = bpf_ringbuf_reserve(&viewers, sizeof(*r), 0);
  if (!r) {
    u32 zero = 0;
    u64 *lost = bpf_map_lookup_elem(&viewers_lost, &zero);
    if (lost) __sync_fetch_and_add(lost, 1);
    return;
  }
  r->monotonic_ns = bpf_ktime_get_ns();
  r->cookie = h->cookie;
  r->pid = h->pid;
  r->outcome = outcome;
  r->family = h->family;
  r->port = h->port;
  __builtin_memcpy(r->address, h->address, sizeof(r->address));
  r->reserved = 0;
  bpf_ringbuf_submit(r, 0);
}

/* One element of the server's side of the handshake, starting `*at` bytes into the send. */
static __always_inline void step(struct handshake *h, const struct head *head, u32 *at) {
  u32 from = *at;
  u32 left = head->size - from;
  switch (h->stage) {
    case STAGE_VERSION: {
      int minor = from == 0 ? version_minor(head) : -1;
      if (minor < 0) break;
      *at = from + 12;
      h->stage = minor >= 7 ? STAGE_TYPES : STAGE_TYPE33;
      return;
    }
    case STAGE_TYPES: {
      if (from >= head->have) break;
      u8 count = byte_at(head, from);
      if (count == 0) break; /* the server turned the viewer away before any authentication */
      *at = from + 1 + count;
      h->stage = STAGE_AUTH;
      return;
    }
    case STAGE_TYPE33: {
      if (left < 4 || from + 4 > head->have) break;
      u32 type = be32_at(head, from);
      *at = from + 4;
      if (type == 1) { /* none: the initialisation follows the viewer's */
        h->stage = STAGE_INIT;
        return;
      }
      if (type == 2) { /* a challenge, then the result */
        h->stage = STAGE_AUTH;
        return;
      }
      break;
    }
    case STAGE_AUTH: {
      if (left == 16) { /* the challenge */
        *at = from + 16;
        return;
      }
      if (is_server_init(head, from)) {
        report(h, WATCH_VIEWER_ACCEPTED);
        return;
      }
      if (left < 4 || from + 4 > head->have) break;
      report(h, be32_at(head, from) == 0 ? WATCH_VIEWER_ACCEPTED : WATCH_VIEWER_REFUSED);
      return;
    }
    case STAGE_INIT:
      if (!is_server_init(head, from)) break;
      report(h, WATCH_VIEWER_ACCEPTED);
      return;
    default:
      return;
  }
  report(h, WATCH_VIEWER_UNDECIDED);
}

SEC("sk_msg")
int on_server_send(struct sk_msg_md *msg) {
  struct bpf_sock *sk = msg->sk;
  if (!sk) return SK_PASS;
  struct handshake *h = bpf_sk_storage_get(&handshakes, sk, 0, 0);
  if (!h || h->stage == STAGE_DONE) return SK_PASS;
  struct head head = {};
  head.size = msg->size;
  u32 want = head.size < HEAD_BYTES ? head.size : HEAD_BYTES;
  bpf_msg_pull_data(msg, 0, want, 0);
  u8 *data = msg->data;
  u8 *end = msg->data_end;
  for (int i = 0; i < HEAD_BYTES; i++) {
    if (data + i + 1 > end) break;
    head.bytes[i] = data[i];
    head.have = i + 1;
  }
  u32 at = 0;
  for (int i = 0; i < 3; i++) {
    if (at >= head.size || h->stage == STAGE_DONE) break;
    step(h, &head, &at);
  }
  return SK_PASS;
}
