#pragma once

#include <sys/types.h>

// A descriptor that becomes readable once a process has ended (it is a zombie, or reaped), so
// the event loop or poll(2) learns of the end from the kernel instead of looking for it: Linux's
// pidfd. Where the kernel has none, callers look for the end themselves; this is the one place
// that knows which.
namespace PidFd {
// Whether the kernel can give such descriptors here (asked once).
bool supported();
// A close-on-exec descriptor for the process, or -1 with errno set: ESRCH when no such process
// exists any more, ENOSYS where the kernel gives none.
int open(pid_t pid);
} // namespace PidFd
