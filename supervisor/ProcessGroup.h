#pragma once

#include <QList>

#include <sys/types.h>

// Process facts the supervisor needs beyond what QProcess tells.
namespace ProcessGroup {
// Whether any process of the group is still alive. Zombies do not count: they are dead, and
// in a container nobody may ever reap an orphaned one.
bool hasLiveMembers(pid_t pgid);
// Sends sig to every process of the group; errors (the group is gone) are ignored.
void signal(pid_t pgid, int sig);

// Whether the process exists and is not a zombie.
bool isAlive(pid_t pid);

struct ProcessInfo {
    pid_t pid = 0;
    pid_t parent = 0;
    uid_t owner = 0;
    bool valid = false;
};
ProcessInfo info(pid_t pid);
// The process itself, its parent, its grandparent, ... up to init.
QList<pid_t> selfAndAncestors();
} // namespace ProcessGroup
