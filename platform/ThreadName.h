// Names the calling thread, so that top, perf and /proc/PID/task tell the agent's threads apart.
#pragma once

#include <pthread.h>

namespace platform {

// `name` is at most 15 characters (the kernel's limit); a longer one is left unset.
inline void nameThisThread(const char* name) {
  ::pthread_setname_np(::pthread_self(), name);
}

}  // namespace platform
