#pragma once

#include <QHostAddress>
#include <QString>
#include <QTcpServer>

// A loopback port that was just bound and closed again, so nothing listens there and a
// connection is refused at once; a fixed port number may be in use on the machine.
inline quint16 closedPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        qFatal("cannot bind a loopback port: %s", qPrintable(server.errorString()));
    return server.serverPort();
}

// A download location where every connection is refused.
inline QString closedBaseUrl() {
    return QStringLiteral("https://127.0.0.1:%1/static/cli").arg(closedPort());
}
