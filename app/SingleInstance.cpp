#include "SingleInstance.h"
#include "Console.h"
#include "Environment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>

#include <cerrno>
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
    if (!runtime.isEmpty()) {
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
        ::mkdir(QFile::encodeName(candidate).constData(), S_IRWXU);
        Folder folder = inspect(candidate);
        // An earlier version made it with the default mode.
        if (folder.exists && folder.isFolder && folder.owner == me && (folder.mode & 077) &&
            ::chmod(QFile::encodeName(candidate).constData(), S_IRWXU) == 0)
            folder = inspect(candidate);
        const QString wrong = problem(folder, 077);
        if (wrong.isEmpty())
            return candidate;
        rejected << candidate + QLatin1Char(' ') + wrong;
    }
    if (why)
        *why = rejected.join(QStringLiteral("; "));
    return {};
}

SingleInstance::SingleInstance(const Environment& environment, QObject* parent, Inspect inspect)
    : QObject(parent), directory_(runtimeDirectory(environment, inspect, &unusable_)) {
    if (directory_.isEmpty())
        return;
    lock_ = std::make_unique<QLockFile>(directory_ + QStringLiteral("/halvane.lock"));
    socketPath_ = directory_ + QStringLiteral("/halvane.socket");
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->readAll().contains("show"))
                    return;
                // The launch that asked leaves at once; the window comes after.
                socket->write("ok\n");
                socket->flush();
                socket->disconnectFromServer();
                Q_EMIT showRequested();
            });
        }
    });
}

void SingleInstance::listen() {
    if (!lock_ || !lock_->isLocked())
        return;
    QLocalServer::removeServer(socketPath_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(socketPath_))
        Console::log(QStringLiteral("⚠️ A second launch cannot reach this one (%1: %2); it "
                                    "will say so and exit")
                         .arg(socketPath_, server_.errorString()));
}

// Plain POSIX, so that a second launch needs no application object, no event loop and none of
// the GUI. 1: it answered; 0: it took the request but did not answer; -1: nobody listens.
int SingleInstance::askToShow(int timeoutMs) const {
    const QByteArray path = QFile::encodeName(socketPath_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0); // closed before this process starts anything
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
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
    return reply.startsWith("ok") ? 1 : 0;
}

bool SingleInstance::claim(bool* answered) {
    if (answered)
        *answered = false;
    if (!lock_) {
        Console::log(QStringLiteral("⚠️ No private folder for the one-instance lock (%1): "
                                    "starting without it")
                         .arg(unusable_));
        return true;
    }
    // tryLock removes a lock whose owner process no longer exists. A live owner answers on its
    // socket at once, so a second launch does not wait on the lock first.
    if (lock_->tryLock(0))
        return true;
    if (lock_->error() != QLockFile::LockFailedError) {
        Console::log(QStringLiteral("⚠️ Could not take the one-instance lock in %1 (%2): "
                                    "starting without it")
                         .arg(directory_, lock_->error() == QLockFile::PermissionError
                                              ? QStringLiteral("permission denied")
                                              : QStringLiteral("it could not be written")));
        return true;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (const int asked = askToShow(2000); asked >= 0) {
            if (answered)
                *answered = asked == 1;
            return false;
        }
        // The owner may not be listening yet, or be on its way out: then this launch is first.
        if (lock_->tryLock(100))
            return true;
    }
    return false;
}
