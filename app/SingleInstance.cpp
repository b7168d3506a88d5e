#include "SingleInstance.h"
#include "Console.h"
#include "Environment.h"

#include <QDir>
#include <QLocalSocket>

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
                Q_EMIT showRequested();
                socket->write("ok\n");
                socket->flush();
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::listen() {
    QLocalServer::removeServer(socketPath_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(socketPath_))
        Console::log(QStringLiteral("⚠️ A second launch cannot reach this one (%1: %2); it "
                                    "will say so and exit")
                         .arg(socketPath_, server_.errorString()));
    return true;
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
        return listen();
    if (lock_->error() != QLockFile::LockFailedError) {
        Console::log(QStringLiteral("⚠️ Could not take the one-instance lock in %1 (%2): "
                                    "starting without it")
                         .arg(directory_, lock_->error() == QLockFile::PermissionError
                                              ? QStringLiteral("permission denied")
                                              : QStringLiteral("it could not be written")));
        return true;
    }
    QLocalSocket socket;
    for (int attempt = 0; attempt < 10; ++attempt) {
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(200))
            break;
        // The owner may not be listening yet, or be on its way out: then this launch is first.
        if (lock_->tryLock(100))
            return listen();
    }
    if (socket.state() == QLocalSocket::ConnectedState) {
        socket.write("show\n");
        socket.flush();
        if (socket.waitForReadyRead(2000) && socket.readAll().contains("ok") && answered)
            *answered = true;
    }
    return false;
}
