#include "ProcessGroup.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {
#ifdef Q_OS_LINUX
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
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        const pid_t pid = pid_t(entry.toInt(&numeric));
        if (!numeric)
            continue;
        const QList<QByteArray> fields = statFields(pid);
        // fields: state ppid pgrp ...
        if (fields.size() > 2 && fields[2].toInt() == pgid && fields[0] != "Z" && fields[0] != "X")
            return true;
    }
    return false;
#else
    return true;
#endif
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
    if (fields.size() > 1 &&
        ::stat(QStringLiteral("/proc/%1").arg(pid).toLocal8Bit().constData(), &st) == 0) {
        result.parent = pid_t(fields[1].toInt());
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
