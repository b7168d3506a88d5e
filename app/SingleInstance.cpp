#include "SingleInstance.h"
#include "Console.h"
#include "Environment.h"

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
// The user at the other end of a local socket; -1 when it cannot be told.
long peerUser(int fd) {
#ifdef Q_OS_LINUX
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0
               ? long(credentials.uid)
               : -1;
#else
    uid_t user = 0;
    gid_t group = 0;
    return ::getpeereid(fd, &user, &group) == 0 ? long(user) : -1;
#endif
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
                if (!socket->readAll().contains("show"))
                    return;
                // The launch that asked leaves at once, or waits for this one to be gone.
                socket->write(leaving_ ? "leaving\n" : "ok\n");
                socket->flush();
                socket->disconnectFromServer();
                if (!leaving_)
                    Q_EMIT showRequested();
            });
        }
    });
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
SingleInstance::Reply SingleInstance::askToShow(int timeoutMs) const {
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
    if (peerUser(fd) != long(::getuid())) {
        ::close(fd);
        return Reply::Stranger;
    }
#ifdef MSG_NOSIGNAL
    constexpr int flags = MSG_NOSIGNAL; // an instance that goes away must not end this one
#else
    constexpr int flags = 0;
#endif
    static constexpr char request[] = "show\n";
    const bool sent = ::send(fd, request, sizeof request - 1, flags) == ssize_t(sizeof request - 1);
    QByteArray reply;
    const QDeadlineTimer deadline(timeoutMs);
    while (sent && !reply.contains('\n')) {
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, int(deadline.remainingTime()));
        if (n < 0 && errno == EINTR)
            continue;
        char buffer[64];
        const ssize_t got = n > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
        if (got <= 0)
            break;
        reply.append(buffer, got);
    }
    ::close(fd);
    return reply.startsWith("ok")        ? Reply::Shown
           : reply.startsWith("leaving") ? Reply::Leaving
                                         : Reply::Silent;
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
        ::usleep(50000);
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
        switch (askToShow(2000)) {
        case Reply::Shown:
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
            if (take(100))
                return true;
            break;
        }
    }
    return false;
}
