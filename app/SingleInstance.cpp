#include "SingleInstance.h"

#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

QString SingleInstance::runtimeDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QDir(runtime).exists())
        return runtime;
    return QDir::tempPath() + QStringLiteral("/halvane-%1").arg(::getuid());
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
    const QString dir = runtimeDirectory();
    QDir().mkpath(dir);
    lock_ = std::make_unique<QLockFile>(dir + QStringLiteral("/halvane.lock"));
    socketPath_ = dir + QStringLiteral("/halvane.socket");
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

bool SingleInstance::claim(bool* answered) {
    if (answered)
        *answered = false;
    // tryLock removes a lock whose owner process no longer exists.
    if (lock_->tryLock(200)) {
        QLocalServer::removeServer(socketPath_);
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        server_.listen(socketPath_);
        return true;
    }
    QLocalSocket socket;
    for (int attempt = 0; attempt < 10; ++attempt) {
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(200))
            break;
    }
    if (socket.state() == QLocalSocket::ConnectedState) {
        socket.write("show\n");
        socket.flush();
        if (socket.waitForReadyRead(2000) && socket.readAll().contains("ok") && answered)
            *answered = true;
    }
    return false;
}
