// SPDX-License-Identifier: GPL-2.0
/* Process events captured in the kernel at the moment they happen: exec (with the executable's
 * path, identity, arguments and environment read from the new image before it runs), fork of a
 * process (not of a thread) and the end of a whole process. Records go to user space through one
 * ring buffer; a record that finds the ring full is counted per CPU, never dropped silently. Before
 * it gets that far, execs give up detail: past the ring's fill mark they carry only a few KiB of
 * arguments and environment (less again past a high mark), so that small records (other users'
 * execs, forks, exits) still fit.
 *
 * Kernel types are declared here with just the members used; CO-RE relocates them against the
 * running kernel's BTF, so the build needs no kernel headers of the target. */
#include <linux/types.h>
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_tracing.h>

#include "ProcessRecords.h"

typedef __u32 u32;
typedef __u64 u64;

#define PIDTYPE_PGID 2
#define PIDTYPE_SID 3
#define SIGNAL_GROUP_EXIT 0x00000004
#define PF_KTHREAD 0x00200000
#define NSEC_MASK 0x3fffffff

struct upid {
  int nr;
} __attribute__((preserve_access_index));

struct pid {
  struct upid numbers[1];
} __attribute__((preserve_access_index));

typedef struct {
  unsigned int val;
} kuid_t;
typedef struct {
  unsigned int val;
} kgid_t;

struct cred {
  kuid_t uid;
  kgid_t gid;
  kuid_t euid;
  kgid_t egid;
} __attribute__((preserve_access_index));

typedef struct {
  int counter;
} atomic_t;

struct signal_struct {
  atomic_t live;
  int group_exit_code;
  unsigned int flags;
  struct pid *pids[4];
} __attribute__((preserve_access_index));

struct mm_struct {
  unsigned long arg_start;
  unsigned long arg_end;
  unsigned long env_start;
  unsigned long env_end;
} __attribute__((preserve_access_index));

struct task_struct {
  int pid;
  int tgid;
  int exit_code;
  unsigned int flags;
  struct task_struct *real_parent;
  struct signal_struct *signal;
  const struct cred *cred;
  struct mm_struct *mm;
  u64 start_boottime;
} __attribute__((preserve_access_index));

struct qstr {
  u32 len;
  const unsigned char *name;
} __attribute__((preserve_access_index));

struct dentry {
  struct dentry *d_parent;
  struct qstr d_name;
} __attribute__((preserve_access_index));

struct vfsmount {
  struct dentry *mnt_root;
} __attribute__((preserve_access_index));

struct mount {
  struct mount *mnt_parent;
  struct dentry *mnt_mountpoint;
  struct vfsmount mnt;
} __attribute__((preserve_access_index));

struct path {
  struct vfsmount *mnt;
  struct dentry *dentry;
} __attribute__((preserve_access_index));

struct super_block {
  unsigned int s_dev;
} __attribute__((preserve_access_index));

struct timespec64 {
  long long tv_sec;
  long tv_nsec;
} __attribute__((preserve_access_index));

struct inode {
  unsigned short i_mode;
  kuid_t i_uid;
  kgid_t i_gid;
  struct super_block *i_sb;
  unsigned long i_ino;
  unsigned int __i_nlink;
  long long i_size;
  /* Kernels from 6.11 keep seconds and nanoseconds apart. */
  long long i_atime_sec;
  long long i_mtime_sec;
  long long i_ctime_sec;
  u32 i_atime_nsec;
  u32 i_mtime_nsec;
  u32 i_ctime_nsec;
} __attribute__((preserve_access_index));

/* Earlier layouts of the inode's times, for kernels before 6.11. */
struct inode___timespec {
  struct timespec64 i_atime;
  struct timespec64 i_mtime;
  struct timespec64 __i_ctime;
} __attribute__((preserve_access_index));

struct inode___old {
  struct timespec64 i_ctime;
} __attribute__((preserve_access_index));

struct file {
  struct path f_path;
  struct inode *f_inode;
} __attribute__((preserve_access_index));

struct linux_binprm {
  struct file *file;
} __attribute__((preserve_access_index));

char LICENSE[] SEC("license") = "GPL";

/* The ring buffer's size is set by user space before loading. */
struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 8 * 1024 * 1024);
} events SEC(".maps");

/* Records that found the ring full. A global, so that the reader looks at it in shared memory
 * after every read instead of asking the kernel; it changes only while records are being lost. */
__u64 lost_records = 0;

/* Where an exec record is put together, one slot per CPU (user space sets max_entries to the
 * number of possible CPUs). Larger than any record so that every masked offset stays inside. */
#define SCRATCH_SIZE (512 * 1024)
#define OFFSET_MASK (256 * 1024 - 1)
#define AREA_MASK (256 * 1024 - 1)
struct path_walk {
  struct dentry *dentry;
  struct vfsmount *vfsmnt;
  struct mount *mnt;
  u32 used;
  u32 flags;
};

struct scratch {
  /* Kept in map memory, not on the stack: the verifier then sees every step of the path walk
   * alike and checks it once. */
  struct path_walk walk;
  unsigned char bytes[SCRATCH_SIZE];
};

struct path_walk_ref {
  struct path_walk *walk;
};
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, u32);
  __type(value, struct scratch);
} scratch SEC(".maps");

/* The caller's credentials, from the start of an exec (when the task still has them) to its
 * tracepoint (when the new ones are committed). */
struct {
  __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, int);
  __type(value, struct watch_creds);
} exec_callers SEC(".maps");

static __always_inline void count_lost(void) {
  __sync_fetch_and_add(&lost_records, 1);
}

/* How much of its arguments and environment an exec may carry, by how full the ring is. */
static __always_inline u32 args_env_cap(void) {
  u64 size = bpf_ringbuf_query(&events, BPF_RB_RING_SIZE);
  u64 unread = bpf_ringbuf_query(&events, BPF_RB_AVAIL_DATA);
  if (unread * 100 > size * WATCH_RING_HIGH_MARK_PERCENT) return WATCH_ARGS_ENV_HIGH_PRESSED_CAP;
  if (unread * 100 > size * WATCH_RING_FILL_MARK_PERCENT) return WATCH_ARGS_ENV_PRESSED_CAP;
  return WATCH_ARGS_ENV_CAP;
}

static __always_inline void read_creds(struct task_struct *task, struct watch_creds *out) {
  const struct cred *cred = BPF_CORE_READ(task, cred);
  out->ruid = BPF_CORE_READ(cred, uid.val);
  out->euid = BPF_CORE_READ(cred, euid.val);
  out->rgid = BPF_CORE_READ(cred, gid.val);
  out->egid = BPF_CORE_READ(cred, egid.val);
}

static __always_inline void read_task(struct task_struct *task, struct watch_task *out) {
  struct signal_struct *signal = BPF_CORE_READ(task, signal);
  struct watch_creds creds;
  read_creds(task, &creds);
  out->pid = BPF_CORE_READ(task, tgid);
  out->ppid = BPF_CORE_READ(task, real_parent, tgid);
  out->pgid = BPF_CORE_READ(signal, pids[PIDTYPE_PGID], numbers[0].nr);
  out->sid = BPF_CORE_READ(signal, pids[PIDTYPE_SID], numbers[0].nr);
  out->ruid = creds.ruid;
  out->euid = creds.euid;
  out->rgid = creds.rgid;
  out->egid = creds.egid;
  out->kernel = (BPF_CORE_READ(task, flags) & PF_KTHREAD) ? 1 : 0;
  out->reserved = 0;
  out->start_boot_ns = BPF_CORE_READ(task, start_boottime);
}

static __always_inline void read_inode(struct inode *inode, struct watch_exec_record *e) {
  e->dev = BPF_CORE_READ(inode, i_sb, s_dev);
  e->ino = BPF_CORE_READ(inode, i_ino);
  e->size = BPF_CORE_READ(inode, i_size);
  e->mode = BPF_CORE_READ(inode, i_mode);
  e->nlink = BPF_CORE_READ(inode, __i_nlink);
  e->uid = BPF_CORE_READ(inode, i_uid.val);
  e->gid = BPF_CORE_READ(inode, i_gid.val);
  if (bpf_core_field_exists(inode->i_mtime_sec)) {
    e->atime_sec = BPF_CORE_READ(inode, i_atime_sec);
    e->atime_nsec = BPF_CORE_READ(inode, i_atime_nsec);
    e->mtime_sec = BPF_CORE_READ(inode, i_mtime_sec);
    e->mtime_nsec = BPF_CORE_READ(inode, i_mtime_nsec);
    e->ctime_sec = BPF_CORE_READ(inode, i_ctime_sec);
    /* The top bits of the change time's nanoseconds flag a queried time (multigrain). */
    e->ctime_nsec = BPF_CORE_READ(inode, i_ctime_nsec) & NSEC_MASK;
    return;
  }
  struct inode___timespec *ts = (void *)inode;
  e->atime_sec = BPF_CORE_READ(ts, i_atime.tv_sec);
  e->atime_nsec = BPF_CORE_READ(ts, i_atime.tv_nsec);
  e->mtime_sec = BPF_CORE_READ(ts, i_mtime.tv_sec);
  e->mtime_nsec = BPF_CORE_READ(ts, i_mtime.tv_nsec);
  if (bpf_core_field_exists(ts->__i_ctime)) {
    e->ctime_sec = BPF_CORE_READ(ts, __i_ctime.tv_sec);
    e->ctime_nsec = BPF_CORE_READ(ts, __i_ctime.tv_nsec);
  } else {
    struct inode___old *old = (void *)inode;
    e->ctime_sec = BPF_CORE_READ(old, i_ctime.tv_sec);
    e->ctime_nsec = BPF_CORE_READ(old, i_ctime.tv_nsec);
  }
}

#define MAX_COMPONENTS 2048

static __always_inline struct mount *mount_of(struct vfsmount *vfsmnt) {
  return (void *)((char *)vfsmnt - bpf_core_field_offset(struct mount, mnt));
}

/* One step up the path: a component written, or a mount crossed. Returns 1 at the end. */
static long path_step(u32 index, void *data) {
  struct path_walk *walk = ((struct path_walk_ref *)data)->walk;
  struct dentry *dentry = walk->dentry;
  struct vfsmount *vfsmnt = walk->vfsmnt;
  struct mount *mnt = walk->mnt;
  struct dentry *root = BPF_CORE_READ(vfsmnt, mnt_root);
  struct dentry *parent = BPF_CORE_READ(dentry, d_parent);
  if (dentry == root || dentry == parent) {
    struct mount *up = BPF_CORE_READ(mnt, mnt_parent);
    if (dentry != root || up == mnt) return 1; /* the root of the tree */
    walk->dentry = BPF_CORE_READ(mnt, mnt_mountpoint);
    walk->mnt = up;
    walk->vfsmnt = (void *)((char *)up + bpf_core_field_offset(struct mount, mnt));
    return 0;
  }
  u32 len = BPF_CORE_READ(dentry, d_name.len);
  if (len > 255) len = 255;
  u32 used = walk->used;
  if (used + 1 + len > WATCH_PATH_CAP) {
    walk->flags |= WATCH_EXEC_PATH_TRUNCATED;
    return 1;
  }
  const unsigned char *name = BPF_CORE_READ(dentry, d_name.name);
  /* The walk is the scratch slot's first member; the components go right after the record. */
  unsigned char *slot = (unsigned char *)walk + sizeof(struct path_walk) +
                        sizeof(struct watch_exec_record) + (used & (WATCH_PATH_CAP - 1));
  slot[0] = (unsigned char)len;
  bpf_probe_read_kernel(slot + 1, len & 255, name);
  walk->used = used + 1 + len;
  walk->dentry = parent;
  return 0;
}

/* Writes the path's components, leaf first, at `base`; returns the bytes written. The walk
 * crosses mounts up to the root of the process's mount tree. */
static __always_inline u32 write_path(struct path_walk *walk, struct file *file, u32 *flags) {
  walk->dentry = BPF_CORE_READ(file, f_path.dentry);
  walk->vfsmnt = BPF_CORE_READ(file, f_path.mnt);
  walk->mnt = mount_of(walk->vfsmnt);
  walk->used = 0;
  walk->flags = 0;
  struct path_walk_ref ref = {walk};
  long steps = bpf_loop(MAX_COMPONENTS, path_step, &ref, 0);
  if (steps >= MAX_COMPONENTS) walk->flags |= WATCH_EXEC_PATH_TRUNCATED;
  *flags |= walk->flags;
  return walk->used;
}

/* Copies [start, end) of the new image's memory to `dest`, at most `cap` bytes. */
static __always_inline u32 copy_area(unsigned char *dest, unsigned long start, unsigned long end,
                                     u32 cap, u32 *total, u32 *flags, u32 truncated,
                                     u32 unreadable) {
  u64 size = end > start ? end - start : 0;
  *total = size > 0xffffffffull ? 0xffffffffu : (u32)size;
  if (size > cap) {
    size = cap;
    *flags |= truncated;
  }
  if (size == 0) return 0;
  if (bpf_probe_read_user(dest, size & AREA_MASK, (const void *)start) != 0) {
    *flags |= unreadable;
    return 0;
  }
  return (u32)(size & AREA_MASK);
}

/* An exec past its checks, before the new credentials are committed (kernels from 6.10; user
 * space leaves it out where the tracepoint is missing). */
SEC("tp_btf/sched_prepare_exec")
int BPF_PROG(on_prepare_exec, struct task_struct *task, struct linux_binprm *bprm) {
  struct watch_creds *caller =
      bpf_task_storage_get(&exec_callers, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
  if (caller) read_creds(task, caller);
  return 0;
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(on_exec, struct task_struct *task, int old_pid, struct linux_binprm *bprm) {
  u32 cpu = bpf_get_smp_processor_id();
  struct scratch *buffer = bpf_map_lookup_elem(&scratch, &cpu);
  if (!buffer) return 0;
  struct watch_exec_record *e = (void *)buffer->bytes;
  __builtin_memset(e, 0, sizeof(*e));
  e->header.kind = WATCH_RECORD_EXEC;
  e->header.monotonic_ns = bpf_ktime_get_ns();
  read_task(task, &e->task);

  u32 flags = 0;
  struct watch_creds *caller = bpf_task_storage_get(&exec_callers, task, 0, 0);
  if (caller) {
    e->caller = *caller;
    flags |= WATCH_EXEC_CALLER_KNOWN;
    bpf_task_storage_delete(&exec_callers, task);
  }
  unsigned char *tail = buffer->bytes + sizeof(*e);
  struct file *file = BPF_CORE_READ(bprm, file);
  u32 path_bytes = 0;
  if (file) {
    read_inode(BPF_CORE_READ(file, f_inode), e);
    path_bytes = write_path(&buffer->walk, file, &flags);
  } else {
    flags |= WATCH_EXEC_NO_FILE;
  }
  path_bytes &= (2 * WATCH_PATH_CAP - 1);

  struct mm_struct *mm = BPF_CORE_READ(task, mm);
  unsigned long arg_start = BPF_CORE_READ(mm, arg_start);
  unsigned long arg_end = BPF_CORE_READ(mm, arg_end);
  unsigned long env_start = BPF_CORE_READ(mm, env_start);
  unsigned long env_end = BPF_CORE_READ(mm, env_end);
  u32 cap = args_env_cap();
  u32 offset = (sizeof(*e) + path_bytes) & OFFSET_MASK;
  u32 args_bytes = copy_area(buffer->bytes + offset, arg_start, arg_end, cap, &e->args_total,
                             &flags, WATCH_EXEC_ARGS_TRUNCATED, WATCH_EXEC_ARGS_UNREADABLE);
  offset = (offset + args_bytes) & OFFSET_MASK;
  u32 env_bytes =
      copy_area(buffer->bytes + offset, env_start, env_end, cap - args_bytes, &e->env_total, &flags,
                WATCH_EXEC_ENV_TRUNCATED, WATCH_EXEC_ENV_UNREADABLE);
  /* Marked only when the smaller cap took something away. */
  if (cap < WATCH_ARGS_ENV_CAP && (u64)e->args_total + e->env_total > cap) {
    flags |= WATCH_EXEC_CUT_UNDER_PRESSURE;
  }
  e->path_bytes = path_bytes;
  e->args_bytes = args_bytes;
  e->env_bytes = env_bytes;
  e->header.flags = flags;
  u64 size = sizeof(*e) + path_bytes + args_bytes + env_bytes;
  if (size > SCRATCH_SIZE) size = SCRATCH_SIZE;
  if (bpf_ringbuf_output(&events, buffer->bytes, size, 0) != 0) count_lost();
  return 0;
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(on_fork, struct task_struct *parent, struct task_struct *child) {
  if (BPF_CORE_READ(child, pid) != BPF_CORE_READ(child, tgid)) return 0; /* a new thread */
  struct watch_fork_record *r = bpf_ringbuf_reserve(&events, sizeof(*r), 0);
  if (!r) {
    count_lost();
    return 0;
  }
  r->header.kind = WATCH_RECORD_FORK;
  r->header.flags = 0;
  r->header.monotonic_ns = bpf_ktime_get_ns();
  read_task(parent, &r->parent);
  read_task(child, &r->child);
  bpf_ringbuf_submit(r, 0);
  return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(on_exit, struct task_struct *task) {
  struct signal_struct *signal = BPF_CORE_READ(task, signal);
  if (BPF_CORE_READ(signal, live.counter) != 0) return 0; /* other threads live on */
  struct watch_exit_record *r = bpf_ringbuf_reserve(&events, sizeof(*r), 0);
  if (!r) {
    count_lost();
    return 0;
  }
  r->header.kind = WATCH_RECORD_EXIT;
  r->header.flags = 0;
  r->header.monotonic_ns = bpf_ktime_get_ns();
  read_task(task, &r->task);
  u32 status = BPF_CORE_READ(task, exit_code);
  if (BPF_CORE_READ(signal, flags) & SIGNAL_GROUP_EXIT) {
    status = BPF_CORE_READ(signal, group_exit_code);
  }
  r->status = status;
  r->reserved = 0;
  bpf_ringbuf_submit(r, 0);
  return 0;
}
