#include "SingleInstance.h"
#include "CommandLine.h"
#include "Environment.h"
#include "output/Console.h"
#include "process/PidFd.h"
#include "process/ProcessGroup.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <sys/stat.h>
#include <unistd.h>

SingleInstance::Folder SingleInstance::inspectFolder(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::lstat(name.constData(), &info) != 0)
        return {};
    return {true, S_ISDIR(info.st_mode), info.st_uid, info.st_mode,
            ::access(name.constData(), W_OK | X_OK) == 0};
}

QString SingleInstance::runtimeDirectory(const Environment& environment, const Inspect& inspect,
                                         QString* why) {
    const uid_t me = ::getuid();
    // forbidden: the mode bits that make a folder too open for the lock.
    auto problem = [&](const Folder& folder, mode_t forbidden) -> QString {
        if (!folder.exists)
            return QStringLiteral("does not exist");
        if (!folder.isFolder)
            return QStringLiteral("is not a folder");
        if (folder.owner != me)
            return QStringLiteral("belongs to user %1").arg(folder.owner);
        if (folder.mode & forbidden)
            return QStringLiteral("is open to other users (mode %1)")
                .arg(folder.mode & 0777, 3, 8, QLatin1Char('0'));
        if (!folder.writable)
            return QStringLiteral("is not writable");
        return {};
    };
    QStringList rejected;
    // Not when it is someone else's (kept through su or sudo -u) or not writable here.
    const QString runtime = environment.runtimeDir();
    if (runtime.isEmpty()) {
        rejected << QStringLiteral("XDG_RUNTIME_DIR is not set to an absolute path");
    } else {
        const QString wrong = problem(inspect(runtime), S_IWGRP | S_IWOTH);
        if (wrong.isEmpty())
            return runtime;
        rejected << runtime + QLatin1Char(' ') + wrong;
    }
    const QStringList own = {environment.tempDir() + QStringLiteral("/halvane-%1").arg(me),
                             environment.cacheHome() + QStringLiteral("/halvane-runtime")};
    for (const QString& candidate : std::as_const(own)) {
        // Private from the start; a folder someone else made first under this name is left.
        QDir().mkpath(QFileInfo(candidate).path());
        const int madeError =
            ::mkdir(QFile::encodeName(candidate).constData(), S_IRWXU) == 0 ? 0 : errno;
        Folder folder = inspect(candidate);
        // An earlier version made it with the default mode.
        if (folder.exists && folder.isFolder && folder.owner == me && (folder.mode & 077) &&
            ::chmod(QFile::encodeName(candidate).constData(), S_IRWXU) == 0)
            folder = inspect(candidate);
        QString wrong = problem(folder, 077);
        if (wrong.isEmpty())
            return candidate;
        if (!folder.exists && madeError != 0)
            wrong = QStringLiteral("could not be made (%1)")
                        .arg(QString::fromLocal8Bit(std::strerror(madeError)));
        rejected << candidate + QLatin1Char(' ') + wrong;
    }
    if (why)
        *why = rejected.join(QStringLiteral("; "));
    return {};
}

namespace {
// The user at the other end of a local socket, and its process where the system tells; -1
// when it cannot be told.
long peerUser(int fd, pid_t* pid = nullptr) {
#ifdef Q_OS_LINUX
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return -1;
    if (pid)
        *pid = credentials.pid;
    return long(credentials.uid);
#else
    Q_UNUSED(pid);
    uid_t user = 0;
    gid_t group = 0;
    return ::getpeereid(fd, &user, &group) == 0 ? long(user) : -1;
#endif
}

// Until the process has ended (a zombie has), without sleeping where the kernel can say so.
bool waitForExit(pid_t pid, int timeoutMs) {
    if (pid <= 0)
        return true;
    const QDeadlineTimer deadline(timeoutMs);
    if (const int fd = PidFd::open(pid); fd >= 0) {
        pollfd gone{fd, POLLIN, 0};
        int n = 0;
        while ((n = ::poll(&gone, 1, int(deadline.remainingTime()))) < 0 && errno == EINTR)
            ;
        ::close(fd);
        return n > 0;
    }
    while (ProcessGroup::isAlive(pid)) {
        if (deadline.hasExpired())
            return false;
        ::poll(nullptr, 0, 20);
    }
    return true;
}
} // namespace

SingleInstance::SingleInstance(const Environment& environment, QObject* parent, Inspect inspect)
    : QObject(parent) {
    directory_ = runtimeDirectory(environment, inspect, &unusable_);
#ifdef Q_OS_LINUX
    // One name per user and home, as the folders are: a test's private home is its own.
    abstractName_ =
        QStringLiteral("halvane-%1-%2")
            .arg(QString::number(::getuid()),
                 QString::fromLatin1(QCryptographicHash::hash(QFile::encodeName(environment.home()),
                                                              QCryptographicHash::Sha256)
                                         .toHex()
                                         .left(16)));
#endif
    if (!directory_.isEmpty()) {
        lock_ = std::make_unique<QLockFile>(directory_ + QStringLiteral("/halvane.lock"));
        // Held for the instance's whole life: only a holder that is gone frees it, not age.
        lock_->setStaleLockTime(0);
        socketPath_ = directory_ + QStringLiteral("/halvane.socket");
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // A name in the abstract namespace is open to every user; only ours may ask.
            if (peerUser(int(socket->socketDescriptor())) != long(::getuid())) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                // One line per connection; what comes after it is not read.
                if (socket->property("answered").toBool())
                    return;
                QByteArray line = socket->property("line").toByteArray() + socket->readAll();
                const qsizetype end = line.indexOf('\n');
                if (end < 0 && line.size() <= maxRequest)
                    return void(socket->setProperty("line", line));
                socket->setProperty("answered", true);
                if (end < 0 || end > maxRequest) {
                    socket->write("error: the request is longer than " +
                                  QByteArray::number(maxRequest) + " bytes\n");
                    socket->disconnectFromServer();
                    return;
                }
                line.truncate(end);
                answer(socket, line);
            });
        }
    });
}

void SingleInstance::answer(QLocalSocket* socket, const QByteArray& line) {
    const CommandLine command = CommandLine::fromRequest(line);
    using Action = CommandLine::Action;
    if (command.action == Action::Invalid) {
        socket->write("error: unknown request '" + line.toPercentEncoding(" ") + "'\n");
        socket->disconnectFromServer();
        return;
    }
    // An instance on its way out takes no command: the launch that asked waits for it to go.
    if (leaving_ && command.action != Action::Status) {
        socket->write("leaving\n");
        socket->disconnectFromServer();
        return;
    }
    socket->write("ok\n");
    if (command.action == Action::Status && statusSource_)
        socket->write(statusSource_(command.json));
    socket->flush();
    // The one who asked to quit learns that this instance has gone when the connection closes
    // with it.
    if (command.action != Action::Quit)
        socket->disconnectFromServer();
    switch (command.action) {
    case Action::Show:
        return Q_EMIT showRequested();
    case Action::RestartCLI:
        return Q_EMIT restartRequested();
    case Action::UpdateCLI:
        return Q_EMIT updateRequested();
    case Action::Quit:
        return Q_EMIT quitRequested();
    default:
        return;
    }
}

SingleInstance::~SingleInstance() {
    if (abstractFd_ >= 0 && !server_.isListening())
        ::close(abstractFd_);
}

void SingleInstance::listen() {
    bool listening = false;
    if (abstractFd_ >= 0) {
        listening = server_.listen(qintptr(abstractFd_));
    } else if (lock_ && lock_->isLocked()) {
        QLocalServer::removeServer(socketPath_);
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        listening = server_.listen(socketPath_);
    } else {
        return;
    }
    if (!listening)
        Console::log(QStringLiteral("⚠️ A second launch cannot reach this one (%1: %2); it "
                                    "will say so and exit")
                         .arg(lock_ ? socketPath_ : QLatin1Char('@') + abstractName_,
                              server_.errorString()));
}

// The socket's address: the path in the folder, or the abstract name, which starts with a
// zero byte and is not terminated.
bool SingleInstance::address(sockaddr_un* to, socklen_t* length) const {
    const bool abstract = !lock_;
    const QByteArray name = abstract ? abstractName_.toUtf8() : QFile::encodeName(socketPath_);
    const size_t offset = abstract ? 1 : 0;
    *to = {};
    to->sun_family = AF_UNIX;
    if (name.isEmpty() || offset + size_t(name.size()) >= sizeof to->sun_path)
        return false;
    std::memcpy(to->sun_path + offset, name.constData(), size_t(name.size()));
    *length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + size_t(name.size()) +
                        (abstract ? 0 : 1));
    return true;
}

// Plain POSIX, so that a second launch needs no application object, no event loop and none of
// the GUI.
SingleInstance::Reply SingleInstance::ask(const QByteArray& request, int timeoutMs,
                                          QByteArray* body, pid_t* pid) const {
    sockaddr_un to{};
    socklen_t length = 0;
    if (!address(&to, &length))
        return Reply::Nobody;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0); // closed before this process starts anything
    if (fd < 0)
        return Reply::Nobody;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), length) != 0) {
        ::close(fd);
        return Reply::Nobody;
    }
    if (peerUser(fd, pid) != long(::getuid())) {
        ::close(fd);
        return Reply::Stranger;
    }
#ifdef MSG_NOSIGNAL
    constexpr int flags = MSG_NOSIGNAL; // an instance that goes away must not end this one
#else
    constexpr int flags = 0;
#endif
    const QByteArray line = request + '\n';
    const bool sent = ::send(fd, line.constData(), size_t(line.size()), flags) == line.size();
    // The first line, or everything up to the end when a body is wanted.
    QByteArray reply;
    const QDeadlineTimer deadline(timeoutMs);
    while (sent && (body || !reply.contains('\n'))) {
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, int(deadline.remainingTime()));
        if (n < 0 && errno == EINTR)
            continue;
        char buffer[4096];
        const ssize_t got = n > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
        if (got <= 0)
            break;
        reply.append(buffer, got);
    }
    ::close(fd);
    const qsizetype end = reply.indexOf('\n');
    // What follows "ok", or the reason after "error: ".
    if (body)
        *body = reply.startsWith("error: ") ? reply.mid(7, end - 7)
                : end < 0                   ? QByteArray()
                                            : reply.mid(end + 1);
    return reply.startsWith("ok\n")        ? Reply::Accepted
           : reply.startsWith("leaving\n") ? Reply::Leaving
           : reply.startsWith("error: ")   ? Reply::Refused
                                           : Reply::Silent;
}

bool SingleInstance::held() {
    if (!lock_ && abstractName_.isEmpty())
        return false;
    if (!take(0))
        return true;
    if (lock_) {
        lock_->unlock();
    } else {
        ::close(abstractFd_);
        abstractFd_ = -1;
    }
    return false;
}

SingleInstance::Sent SingleInstance::send(const QByteArray& request, QByteArray* output,
                                          QString* error) {
    const bool quit = request == "quit";
    const QDeadlineTimer deadline(leavingWaitMs);
    while (!deadline.hasExpired()) {
        pid_t pid = 0;
        QByteArray body;
        // Quitting answers when the instance has left, which takes up to its whole stop.
        const Reply reply = ask(request, quit ? leavingWaitMs : 5000, &body, &pid);
        switch (reply) {
        case Reply::Accepted:
            if (quit && !waitForExit(pid, int(deadline.remainingTime()))) {
                *error = QStringLiteral("the instance did not leave in time");
                return Sent::Failed;
            }
            *output = body;
            return Sent::Done;
        case Reply::Refused:
            *error = QStringLiteral("the instance refused the request: ") + QString::fromUtf8(body);
            return Sent::Failed;
        case Reply::Stranger:
            *error = QStringLiteral("the one-instance socket is held by another user");
            return Sent::Failed;
        case Reply::Leaving:
            if (quit) {
                if (!waitForExit(pid, int(deadline.remainingTime())))
                    break;
                return Sent::Done;
            }
            *error = QStringLiteral("the instance is quitting");
            return Sent::Failed;
        case Reply::Silent:
        case Reply::Nobody:
            // Not listening yet, or just gone: only a lock nobody holds means no instance.
            if (!held())
                return Sent::NoInstance;
            ::poll(nullptr, 0, 100);
            break;
        }
    }
    *error = QStringLiteral("the instance did not answer");
    return Sent::Failed;
}

// The lock file, or else the abstract name: binding it is taking it.
bool SingleInstance::take(int timeoutMs) {
    if (lock_)
        return lock_->tryLock(timeoutMs);
#ifdef Q_OS_LINUX
    sockaddr_un to{};
    socklen_t length = 0;
    if (!address(&to, &length))
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&to), length) == 0 &&
            ::listen(fd, 16) == 0) {
            abstractFd_ = fd;
            return true;
        }
        if (fd >= 0)
            ::close(fd);
        if (deadline.hasExpired())
            return false;
        // The kernel frees the name when its holder ends: wait for that end, not for a time.
        pid_t holder = 0;
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&to), length) == 0)
            peerUser(probe, &holder);
        if (probe >= 0)
            ::close(probe);
        if (holder > 0)
            waitForExit(holder, int(deadline.remainingTime()));
        else // between its bind and its listen, or just gone: asked again shortly
            ::poll(nullptr, 0, 10);
    }
#else
    Q_UNUSED(timeoutMs);
    return false;
#endif
}

bool SingleInstance::useAbstractName(const QString& why) {
    if (abstractName_.isEmpty()) {
        Console::log(QStringLiteral("⚠️ %1: starting without a one-instance guard").arg(why));
        return false;
    }
    Console::log(QStringLiteral("⚠️ %1: the socket name @%2 guards the one instance instead")
                     .arg(why, abstractName_));
    lock_.reset();
    socketPath_.clear();
    return true;
}

bool SingleInstance::claim(bool* answered) {
    if (answered)
        *answered = false;
    if (!lock_ &&
        !useAbstractName(
            QStringLiteral("No private folder for the one-instance lock (%1)").arg(unusable_)))
        return true;
    if (take(0))
        return true;
    if (lock_ && lock_->error() != QLockFile::LockFailedError) {
        const bool denied = lock_->error() == QLockFile::PermissionError;
        if (!useAbstractName(QStringLiteral("Could not take the one-instance lock in %1 (%2)")
                                 .arg(directory_, denied
                                                      ? QStringLiteral("permission denied")
                                                      : QStringLiteral("it could not be written"))))
            return true;
        if (take(0))
            return true;
    }
    // Held: a running instance shows its window; one on its way out (or not listening yet, or
    // gone without answering) is waited for, and this launch then takes its place.
    const QDeadlineTimer deadline(leavingWaitMs);
    while (!deadline.hasExpired()) {
        switch (ask("show", 2000)) {
        case Reply::Accepted:
            if (answered)
                *answered = true;
            return false;
        case Reply::Stranger:
            Console::log(
                QStringLiteral("⚠️ The one-instance socket name @%1 is held by another "
                               "user: not starting a second CLI")
                    .arg(abstractName_));
            return false;
        case Reply::Leaving:
            if (take(int(deadline.remainingTime())))
                return true;
            break;
        case Reply::Silent:
        case Reply::Nobody:
        case Reply::Refused:
            if (take(100))
                return true;
            break;
        }
    }
    return false;
}
