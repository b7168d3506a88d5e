#include "process/ProcessGroup.h"
#include "process/EmergencyStop.h"

#include <QDir>
#include <QFile>
#include <QMultiHash>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {
#ifdef Q_OS_LINUX
QByteArray procFile(pid_t pid, const char* name) {
    QFile file(QStringLiteral("/proc/%1/").arg(pid) + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Fields of /proc/<pid>/stat after the parenthesised command name, which may hold spaces.
QList<QByteArray> statFields(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = file.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return {};
    return line.mid(close + 2).split(' ');
}
#endif
} // namespace

bool ProcessGroup::hasLiveMembers(pid_t pgid) {
    if (pgid <= 0)
        return false;
    if (::kill(-pgid, 0) != 0 && errno == ESRCH)
        return false;
#ifdef Q_OS_LINUX
    return !liveMembers(pgid).isEmpty();
#else
    return true;
#endif
}

QList<pid_t> ProcessGroup::liveMembers(pid_t pgid) {
    QList<pid_t> members;
#ifdef Q_OS_LINUX
    for (pid_t pid : all()) {
        const QList<QByteArray> fields = statFields(pid);
        // fields: state ppid pgrp ...
        if (fields.size() > 2 && fields[2].toInt() == pgid && fields[0] != "Z" && fields[0] != "X")
            members.append(pid);
    }
#else
    Q_UNUSED(pgid);
#endif
    return members;
}

bool ProcessGroup::isAlive(pid_t pid) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH))
        return false;
#ifdef Q_OS_LINUX
    const QList<QByteArray> fields = statFields(pid);
    return !fields.isEmpty() && fields[0] != "Z" && fields[0] != "X";
#else
    return true;
#endif
}

void ProcessGroup::signal(pid_t pgid, int sig) {
    if (pgid > 0)
        ::kill(-pgid, sig);
}

ProcessGroup::ProcessInfo ProcessGroup::info(pid_t pid) {
    ProcessInfo result;
    result.pid = pid;
#ifdef Q_OS_LINUX
    const QList<QByteArray> fields = statFields(pid);
    struct stat st {};
    if (fields.size() > 3 &&
        ::stat(QStringLiteral("/proc/%1").arg(pid).toLocal8Bit().constData(), &st) == 0) {
        result.parent = pid_t(fields[1].toInt());
        result.group = pid_t(fields[2].toInt());
        result.session = pid_t(fields[3].toInt());
        result.zombie = fields[0] == "Z";
        result.owner = st.st_uid;
        result.valid = true;
    }
#endif
    return result;
}

QList<pid_t> ProcessGroup::selfAndAncestors() {
    QList<pid_t> chain{::getpid()};
#ifdef Q_OS_LINUX
    pid_t pid = ::getppid();
    while (pid > 1 && !chain.contains(pid)) {
        chain.append(pid);
        const ProcessInfo parent = info(pid);
        if (!parent.valid)
            break;
        pid = parent.parent;
    }
#else
    chain.append(::getppid());
#endif
    return chain;
}

QList<pid_t> ProcessGroup::all() {
    QList<pid_t> pids;
#ifdef Q_OS_LINUX
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (numeric && pid > 0)
            pids.append(pid_t(pid));
    }
#endif
    return pids;
}

QString ProcessGroup::executable(pid_t pid) {
#ifdef Q_OS_LINUX
    QString target = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    const QLatin1String deleted(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
#else
    Q_UNUSED(pid);
    return {};
#endif
}

QString ProcessGroup::commandName(pid_t pid) {
#ifdef Q_OS_LINUX
    return QString::fromLocal8Bit(procFile(pid, "comm")).trimmed();
#else
    Q_UNUSED(pid);
    return {};
#endif
}

QStringList ProcessGroup::arguments(pid_t pid) {
    QStringList result;
#ifdef Q_OS_LINUX
    QByteArray all = procFile(pid, "cmdline");
    if (all.endsWith('\0'))
        all.chop(1);
    if (!all.isEmpty())
        for (const QByteArray& piece : all.split('\0'))
            result.append(QString::fromLocal8Bit(piece));
#else
    Q_UNUSED(pid);
#endif
    return result;
}

bool ProcessGroup::environmentHas(pid_t pid, const QByteArray& entry) {
#ifdef Q_OS_LINUX
    return procFile(pid, "environ").split('\0').contains(entry);
#else
    Q_UNUSED(pid);
    Q_UNUSED(entry);
    return false;
#endif
}

QList<ProcessGroup::ProcessInfo> ProcessGroup::descendantsOutsideSession(const QList<pid_t>& skip) {
    QList<ProcessInfo> found;
#ifdef Q_OS_LINUX
    const pid_t self = ::getpid();
    const pid_t session = ::getsid(0);
    QMultiHash<pid_t, ProcessInfo> children;
    for (pid_t pid : all())
        if (const ProcessInfo process = info(pid); process.valid && pid != self)
            children.insert(process.parent, process);
    QList<pid_t> next{self};
    while (!next.isEmpty()) {
        const pid_t parent = next.takeLast();
        for (const ProcessInfo& child : children.values(parent)) {
            if ((parent == self && child.session == session) || skip.contains(child.pid) ||
                environmentHas(child.pid, kNotCliEntry))
                continue;
            if (!child.zombie)
                found.append(child);
            next.append(child.pid);
        }
    }
#else
    Q_UNUSED(skip);
#endif
    return found;
}

bool ProcessGroup::becomeSubreaper() {
#ifdef Q_OS_LINUX
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
#else
    return false;
#endif
}

void ProcessGroup::reapAdoptedZombies(const QList<pid_t>& keep) {
#ifdef Q_OS_LINUX
    // QProcess children share this process's session; the CLI's shells lead their own and are
    // in keep, so what remains outside it came here by adoption.
    const pid_t self = ::getpid();
    const pid_t session = ::getsid(0);
    for (pid_t pid : all()) {
        const ProcessInfo child = info(pid);
        if (child.valid && child.parent == self && child.zombie && child.session != session &&
            !keep.contains(pid) && ::waitpid(pid, nullptr, WNOHANG) == pid)
            EmergencyStop::untrack(pid); // the PID is free for others now
    }
#else
    Q_UNUSED(keep);
#endif
}
