#include "DownloadServer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <limits>

namespace {
struct Connection : QObject {
    QByteArray buffer;
};

QByteArray httpDate(const QDateTime& time) {
    return QLocale::c()
        .toString(time.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}
} // namespace

DownloadServer::DownloadServer(const QSslConfiguration& tls, QObject* parent) : QObject(parent) {
    server_.setSslConfiguration(tls);
    connect(&server_, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* plain = server_.nextPendingConnection()) {
            auto* socket = qobject_cast<QSslSocket*>(plain);
            ++connections_;
            auto* connection = new Connection;
            connection->setParent(socket);
            connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QSslSocket::readyRead, this, [this, socket, connection] {
                connection->buffer += socket->readAll();
                const qsizetype end = connection->buffer.indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const QList<QByteArray> lines = connection->buffer.left(end).split('\n');
                connection->buffer.clear();
                Request request;
                const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
                request.method = first.value(0);
                request.path = first.value(1);
                for (qsizetype i = 1; i < lines.size(); ++i) {
                    const qsizetype colon = lines[i].indexOf(':');
                    if (colon > 0)
                        request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                               lines[i].mid(colon + 1).trimmed());
                }
                requests_.append(request);
                Q_EMIT requestReceived();
                handle(socket, request);
            });
        }
    });
}

bool DownloadServer::listen(quint16 port) {
    return server_.listen(QHostAddress::LocalHost, port);
}

QString DownloadServer::baseUrl() const {
    return QStringLiteral("https://127.0.0.1:%1/static/cli").arg(port());
}

void DownloadServer::setAsset(const QString& name, const QByteArray& body) {
    assets_.insert(name, body);
}

void DownloadServer::setAssetFile(const QString& name, const QString& path) {
    assetFiles_.insert(name, path);
}

void DownloadServer::setMode(Mode mode, int parameter) {
    mode_ = mode;
    parameter_ = parameter;
}

std::optional<DownloadServer::Mode> DownloadServer::modeFromName(const QString& name,
                                                                 int* parameter) {
    bool numeric = false;
    const int code = name.toInt(&numeric);
    if (numeric && code >= 100 && code < 600) {
        *parameter = code;
        return Mode::Status;
    }
    if (name == QLatin1String("normal"))
        return Mode::Normal;
    if (name == QLatin1String("cutoff")) {
        *parameter = 1024;
        return Mode::CutOff;
    }
    if (name == QLatin1String("stall")) {
        *parameter = 1024;
        return Mode::Stall;
    }
    if (name == QLatin1String("redirect-http"))
        return Mode::RedirectToHttp;
    if (name == QLatin1String("redirect-https"))
        return Mode::RedirectToHttps;
    if (name == QLatin1String("silent"))
        return Mode::Silent;
    if (name == QLatin1String("endless"))
        return Mode::Endless;
    if (name == QLatin1String("chunked"))
        return Mode::Chunked;
    if (name == QLatin1String("redirect-loop"))
        return Mode::RedirectLoop;
    if (name == QLatin1String("close-delimited")) {
        *parameter = 1024;
        return Mode::CloseDelimited;
    }
    if (name == QLatin1String("trickle")) {
        *parameter = 10000;
        return Mode::Trickle;
    }
    if (name.startsWith(QLatin1String("large:"))) {
        *parameter = name.mid(6).toInt();
        return Mode::Large;
    }
    return std::nullopt;
}

QByteArray DownloadServer::etagFor(const QByteArray& body) {
    return '"' + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex().left(16) + '"';
}

void DownloadServer::handle(QSslSocket* socket, const Request& request) {
    const QByteArray prefix = "/static/cli/";
    const qsizetype queryAt = request.path.indexOf('?');
    const QByteArray path = queryAt < 0 ? request.path : request.path.left(queryAt);
    const QByteArray query = queryAt < 0 ? QByteArray() : request.path.mid(queryAt + 1);
    const QString name =
        path.startsWith(prefix) ? QString::fromUtf8(path.mid(prefix.size())) : QString();
    QByteArray body;
    bool found = false;
    if (assets_.contains(name)) {
        body = assets_.value(name);
        found = true;
    } else if (assetFiles_.contains(name)) {
        QFile file(assetFiles_.value(name));
        found = file.open(QIODevice::ReadOnly);
        body = file.readAll();
    }
    auto reply = [socket](const QByteArray& status, const QByteArray& headers,
                          const QByteArray& content) {
        socket->write("HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: " +
                      QByteArray::number(content.size()) + "\r\n" + headers + "\r\n" + content);
        socket->disconnectFromHost();
    };
    if (mode_ == Mode::Status) {
        const QByteArray code = QByteArray::number(parameter_);
        // A busy server says when to come back.
        const bool busy = parameter_ == 429 || parameter_ == 503;
        return reply(code + (parameter_ == 404   ? " Not Found"
                             : busy              ? " Busy"
                             : parameter_ >= 500 ? " Internal Server Error"
                                                 : " Error"),
                     QByteArray(busy ? "Retry-After: 120\r\n" : "") + "Content-Type: text/html\r\n",
                     "<html><body><h1>" + code + "</h1></body></html>\n");
    }
    if (mode_ == Mode::Silent)
        return;
    if (mode_ == Mode::RedirectToHttps && query != "redirected=1")
        return reply("302 Found",
                     "Location: https://127.0.0.1:" + QByteArray::number(port()) + path +
                         "?redirected=1\r\n",
                     {});
    if (mode_ == Mode::RedirectLoop)
        return reply("302 Found",
                     "Location: https://127.0.0.1:" + QByteArray::number(port()) + path +
                         "?hop=" + QByteArray::number(query.mid(4).toInt() + 1) + "\r\n",
                     {});
    if (mode_ == Mode::RedirectToPort)
        return reply(
            "302 Found",
            "Location: https://127.0.0.1:" + QByteArray::number(parameter_) + path + "\r\n", {});
    if (mode_ == Mode::RedirectToHttp)
        return reply(
            "302 Found",
            "Location: http://127.0.0.1:" + QByteArray::number(port()) + request.path + "\r\n", {});
    // Made up as it is sent, so a large body never sits in memory: a script that exits at once,
    // padded with zeros, so that it passes for a program.
    auto zeros = [](qint64 offset, qint64 n) {
        QByteArray bytes(n, '\0');
        const QByteArray script("#!/bin/sh\nexit 0\n");
        for (qint64 i = offset; i < std::min<qint64>(script.size(), offset + n); ++i)
            bytes[i - offset] = script[i];
        return bytes;
    };
    if (mode_ == Mode::Endless || mode_ == Mode::Large) {
        const qint64 size = mode_ == Mode::Large ? qint64(parameter_) * 1024 * 1024 : -1;
        socket->write(
            "HTTP/1.1 200 OK\r\nConnection: close\r\n" +
            (size < 0 ? QByteArray() : "Content-Length: " + QByteArray::number(size) + "\r\n") +
            "\r\n");
        return sendBody(socket, zeros, size, true);
    }
    if (!found)
        return reply("404 Not Found", "Content-Type: text/plain\r\n", "not found\n");
    auto slice = [body](qint64 offset, qint64 n) { return body.mid(offset, n); };
    if (mode_ == Mode::Partial) {
        const qint64 half = body.size() / 2;
        return reply("206 Partial Content",
                     "Content-Range: bytes 0-" + QByteArray::number(half - 1) + '/' +
                         QByteArray::number(body.size()) + "\r\n",
                     body.left(half));
    }
    if (mode_ == Mode::CloseDelimited) {
        socket->write("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n");
        return sendBody(socket, slice, std::min<qint64>(parameter_, body.size()), true);
    }
    if (mode_ == Mode::Chunked) {
        socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n");
        return sendBody(socket, slice, body.size(), true, true);
    }

    const QByteArray etag = etagFor(body);
    const QByteArray modified = httpDate(QDateTime::fromSecsSinceEpoch(1767225600));
    // If-None-Match may list several tags; any of them matching means "not modified".
    bool matches = false;
    for (const QByteArray& tag : request.headers.value("if-none-match").split(','))
        matches = matches || tag.trimmed() == etag;
    if ((mode_ == Mode::Normal || mode_ == Mode::RedirectToHttps) && matches)
        return reply("304 Not Modified", "ETag: " + etag + "\r\n", {});
    socket->write(
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: " +
        QByteArray::number(body.size()) + "\r\nETag: " + etag + "\r\nLast-Modified: " + modified +
        "\r\n\r\n");
    switch (mode_) {
    case Mode::CutOff:
        return sendBody(socket, slice, std::min<qint64>(parameter_, body.size() - 1), true);
    case Mode::Stall:
        return sendBody(socket, slice, std::min<qint64>(parameter_, body.size() - 1), false);
    default:
        return sendBody(socket, slice, body.size(), true);
    }
}

// Writes the body as the socket drains, so a large asset never sits whole in its buffer.
void DownloadServer::sendBody(QSslSocket* socket, Source source, qint64 limit, bool closeAtLimit,
                              bool chunked) {
    auto* sent = new qint64(0);
    const qint64 chunk = mode_ == Mode::Slow      ? std::max(1, parameter_ / 10)
                         : mode_ == Mode::Trickle ? 1
                                                  : 256 * 1024;
    const qint64 end = limit < 0 ? std::numeric_limits<qint64>::max() : limit;
    auto pump = [socket, source, end, closeAtLimit, chunked, sent, chunk] {
        if (*sent >= end || socket->bytesToWrite() > 512 * 1024)
            return;
        const qint64 n = std::min(chunk, end - *sent);
        const QByteArray piece = source(*sent, n);
        socket->write(chunked ? QByteArray::number(n, 16) + "\r\n" + piece + "\r\n" : piece);
        *sent += n;
        if (*sent >= end && closeAtLimit) {
            if (chunked)
                socket->write("0\r\n\r\n");
            socket->flush();
            socket->disconnectFromHost();
        }
    };
    connect(socket, &QObject::destroyed, [sent] { delete sent; });
    if (mode_ == Mode::Slow || mode_ == Mode::Trickle) {
        auto* timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, pump);
        timer->start(mode_ == Mode::Slow ? 100 : parameter_);
    } else {
        connect(socket, &QSslSocket::encryptedBytesWritten, socket, pump);
    }
    pump();
}

std::optional<TestPki> TestPki::create(const QString& dir, QString* error) {
    auto run = [&](const QStringList& args) {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), args);
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            if (error)
                *error = QStringLiteral("openssl %1: %2")
                             .arg(args.join(QLatin1Char(' ')),
                                  QString::fromLocal8Bit(openssl.readAll()));
            return false;
        }
        return true;
    };
    TestPki pki{dir + QStringLiteral("/ca.pem"), dir + QStringLiteral("/server.pem"),
                dir + QStringLiteral("/server.key"), dir + QStringLiteral("/other-ca.pem"),
                dir + QStringLiteral("/stranger.pem")};
    const QString caKey = dir + QStringLiteral("/ca.key"),
                  otherKey = dir + QStringLiteral("/other-ca.key");
    const QString csr = dir + QStringLiteral("/server.csr"),
                  ext = dir + QStringLiteral("/server.ext");
    QFile extFile(ext);
    if (!extFile.open(QIODevice::WriteOnly))
        return std::nullopt;
    extFile.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                  "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n");
    extFile.close();
    const QString strangerExt = dir + QStringLiteral("/stranger.ext");
    QFile strangerExtFile(strangerExt);
    if (!strangerExtFile.open(QIODevice::WriteOnly))
        return std::nullopt;
    strangerExtFile.write("subjectAltName=DNS:elsewhere.invalid\n");
    strangerExtFile.close();
    const QStringList ecKey = {
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    auto caArgs = [&](const QString& key, const QString& cert, const QString& name) {
        return QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey +
               QStringList{QStringLiteral("-keyout"),
                           key,
                           QStringLiteral("-out"),
                           cert,
                           QStringLiteral("-days"),
                           QStringLiteral("30"),
                           QStringLiteral("-subj"),
                           QStringLiteral("/CN=") + name,
                           QStringLiteral("-addext"),
                           QStringLiteral("basicConstraints=critical,CA:TRUE"),
                           QStringLiteral("-addext"),
                           QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")};
    };
    if (!run(caArgs(caKey, pki.caCert, QStringLiteral("Halvane Test CA"))) ||
        !run(caArgs(otherKey, pki.otherCaCert, QStringLiteral("Unrelated Test CA"))) ||
        !run(QStringList{QStringLiteral("req")} + ecKey +
             QStringList{QStringLiteral("-keyout"), pki.serverKey, QStringLiteral("-out"), csr,
                         QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")}) ||
        !run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), csr,
              QStringLiteral("-CA"), pki.caCert, QStringLiteral("-CAkey"), caKey,
              QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), pki.serverCert,
              QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-extfile"), ext}) ||
        // The same key, so a server can present either certificate.
        !run({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-key"), pki.serverKey,
              QStringLiteral("-out"), csr, QStringLiteral("-subj"),
              QStringLiteral("/CN=elsewhere.invalid")}) ||
        !run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), csr,
              QStringLiteral("-CA"), pki.caCert, QStringLiteral("-CAkey"), caKey,
              QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), pki.strangerCert,
              QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-extfile"),
              strangerExt}))
        return std::nullopt;
    return pki;
}

QSslConfiguration TestPki::serverConfiguration(bool stranger) const {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    QFile cert(stranger ? strangerCert : serverCert), key(serverKey);
    cert.open(QIODevice::ReadOnly);
    key.open(QIODevice::ReadOnly);
    tls.setLocalCertificate(QSslCertificate(cert.readAll()));
    // The tests make EC keys; a key made by hand (the demo's) is often RSA.
    const QByteArray pem = key.readAll();
    QSslKey privateKey(pem, QSsl::Ec);
    if (privateKey.isNull())
        privateKey = QSslKey(pem, QSsl::Rsa);
    tls.setPrivateKey(privateKey);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}
