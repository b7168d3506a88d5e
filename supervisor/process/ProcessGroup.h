#pragma once

#include <QList>
#include <QStringList>

#include <sys/types.h>

// Process facts the supervisor needs beyond what QProcess tells.
namespace ProcessGroup {
// Whether any process of the group is still alive. Zombies do not count: they are dead, and
// in a container nobody may ever reap an orphaned one.
bool hasLiveMembers(pid_t pgid);
// The group's live processes, as the process table lists them now (Linux; empty elsewhere).
QList<pid_t> liveMembers(pid_t pgid);
// Sends sig to every process of the group; errors (the group is gone) are ignored.
void signal(pid_t pgid, int sig);

// Whether the process exists and is not a zombie.
bool isAlive(pid_t pid);

struct ProcessInfo {
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    pid_t session = 0;
    uid_t owner = 0;
    bool zombie = false;
    bool valid = false;
};
ProcessInfo info(pid_t pid);
// The process itself, its parent, its grandparent, ... up to init.
QList<pid_t> selfAndAncestors();

// Every process the system lists (Linux; empty elsewhere).
QList<pid_t> all();
// The program file, without the " (deleted)" the kernel adds once it was replaced or removed.
QString executable(pid_t pid);
// The kernel's command name: the program's file name, at most 15 bytes.
QString commandName(pid_t pid);
QStringList arguments(pid_t pid);
// Live processes below this one, as the process table links them now, that left its session:
// what its children started in sessions of their own, and the orphans it adopted from there as
// their subreaper, whatever their environment. Children that share its session (a QProcess
// that is not a CLI) are left out with all below them, and so are the subtrees of `skip`.
// Subtrees whose processes carry kNotCliEntry are passed over too.
QList<ProcessInfo> descendantsOutsideSession(const QList<pid_t>& skip);
// In the environment of all the application starts but the CLI (a browser opened for a link, an
// editor for the log file, a bus it autolaunched): what these leave behind comes to it as orphans
// as well, and is not the CLI's to stop.
inline constexpr char kNotCliName[] = "HALVANE_NOT_CLI";
inline constexpr char kNotCliEntry[] = "HALVANE_NOT_CLI=1";
// Whether the process started with `entry` ("NAME=value") in its environment.
bool environmentHas(pid_t pid, const QByteArray& entry);

// Orphans anywhere below this process are handed to it instead of init, so that descendants
// which detached stay reachable (Linux; false elsewhere).
bool becomeSubreaper();
// Reaps zombie children of this process that left its session, except `keep`: adopted orphans
// that nobody else waits for. Never waits for any other child, which belongs to a QProcess.
void reapAdoptedZombies(const QList<pid_t>& keep);
} // namespace ProcessGroup
