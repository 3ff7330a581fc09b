// SPDX-License-Identifier: GPL-2.0
/* Accepted TCP connections of screen-sharing servers, seen in the accepting process as accept()
 * returns: the peer's address is read from the new socket. Only processes whose command name is
 * in the `servers` map are looked at (user space fills it and checks each process's executable
 * before reporting); every other system call leaves after one comparison. */
#include <linux/types.h>
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_tracing.h>

#include "ScreenSharingRecords.h"

typedef __u32 u32;

#define AF_INET 2
#define AF_INET6 10

#if defined(__TARGET_ARCH_x86)
#define SYS_ACCEPT 43
#define SYS_ACCEPT4 288
struct pt_regs {
  unsigned long orig_ax;
} __attribute__((preserve_access_index));
#define SYSCALL_NUMBER(regs) BPF_CORE_READ(regs, orig_ax)
#elif defined(__TARGET_ARCH_arm64)
#define SYS_ACCEPT 202
#define SYS_ACCEPT4 242
struct pt_regs {
  long long syscallno;
} __attribute__((preserve_access_index));
#define SYSCALL_NUMBER(regs) BPF_CORE_READ(regs, syscallno)
#endif

struct in6_addr {
  unsigned char u6_addr8[16];
} __attribute__((preserve_access_index));

struct sock_common {
  unsigned int skc_daddr;
  unsigned short skc_dport;
  unsigned short skc_family;
  struct in6_addr skc_v6_daddr;
} __attribute__((preserve_access_index));

struct sock {
  struct sock_common __sk_common;
} __attribute__((preserve_access_index));

struct socket {
  struct sock *sk;
} __attribute__((preserve_access_index));

struct file {
  void *private_data;
} __attribute__((preserve_access_index));

struct fdtable {
  unsigned int max_fds;
  struct file **fd;
} __attribute__((preserve_access_index));

struct files_struct {
  struct fdtable *fdt;
} __attribute__((preserve_access_index));

struct task_struct {
  int tgid;
  struct files_struct *files;
} __attribute__((preserve_access_index));

char LICENSE[] SEC("license") = "GPL";

struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 64 * 1024);
} accepts SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, 1);
  __type(key, u32);
  __type(value, __u64);
} accepts_lost SEC(".maps");

struct comm {
  char bytes[WATCH_COMM_BYTES];
};

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, 32);
  __type(key, struct comm);
  __type(value, __u8);
} servers SEC(".maps");

SEC("tp_btf/sys_exit")
int BPF_PROG(on_sys_exit, struct pt_regs *regs, long ret) {
  long id = SYSCALL_NUMBER(regs);
  if ((id != SYS_ACCEPT && id != SYS_ACCEPT4) || ret < 0) return 0;
  struct comm comm = {};
  bpf_get_current_comm(comm.bytes, sizeof(comm.bytes));
  if (!bpf_map_lookup_elem(&servers, &comm)) return 0;

  struct task_struct *task = (void *)bpf_get_current_task();
  struct fdtable *fdt = BPF_CORE_READ(task, files, fdt);
  if ((unsigned long)ret >= BPF_CORE_READ(fdt, max_fds)) return 0;
  struct file **fds = BPF_CORE_READ(fdt, fd);
  struct file *file = NULL;
  bpf_probe_read_kernel(&file, sizeof(file), &fds[ret]);
  if (!file) return 0;
  struct socket *socket = BPF_CORE_READ(file, private_data);
  struct sock *sk = BPF_CORE_READ(socket, sk);
  unsigned short family = BPF_CORE_READ(sk, __sk_common.skc_family);
  if (family != AF_INET && family != AF_INET6) return 0; /* not a network connection */

  struct watch_accept_record *r = bpf_ringbuf_reserve(&accepts, sizeof(*r), 0);
  if (!r) {
    u32 zero = 0;
    __u64 *lost = bpf_map_lookup_elem(&accepts_lost, &zero);
    if (lost) *lost += 1;
    return 0;
  }
  r->monotonic_ns = bpf_ktime_get_ns();
  r->pid = BPF_CORE_READ(task, tgid);
  r->family = family;
  r->port = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
  __builtin_memset(r->address, 0, sizeof(r->address));
  if (family == AF_INET) {
    unsigned int address = BPF_CORE_READ(sk, __sk_common.skc_daddr);
    __builtin_memcpy(r->address, &address, 4);
  } else {
    BPF_CORE_READ_INTO(&r->address, sk, __sk_common.skc_v6_daddr);
  }
  bpf_ringbuf_submit(r, 0);
  return 0;
}
