#pragma once

#include <sys/types.h>

// The targets a stop would signal, kept where a signal handler or an exit path can reach them
// without allocating or locking: when the application cannot wait (a fatal signal, exit() from
// a lost display), the CLI still gets its SIGTERM. Targets follow kill(2): -pgid for a group,
// a PID for a single process.
namespace EmergencyStop {
// Main thread. False when every slot is taken (the target is then only stopped the slow way).
bool track(pid_t target);
void untrack(pid_t target);
// Async-signal-safe: kill(target, sig) for every tracked target.
void signalAll(int sig) noexcept;
// How many targets are tracked now.
int trackedCount() noexcept;
} // namespace EmergencyStop
