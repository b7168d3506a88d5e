#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QSslServer>
#include <QString>

#include <functional>
#include <optional>

// A small HTTPS server on loopback that serves CLI builds under /static/cli/<asset>, with the
// faults a download meets in the wild, for tests and the demo.
class DownloadServer : public QObject {
    Q_OBJECT

public:
    // RedirectToHttps sends each request once to the same path on this server with
    // "?redirected=1" added; Silent reads the request and never answers. Endless sends an ELF
    // header, then zeros without a length and without end; Large the same with a true length of
    // parameter MiB; CloseDelimited the asset without a length, closing after parameter bytes;
    // Trickle one byte every parameter ms with a true length; Chunked the asset in chunks;
    // RedirectLoop redirects every request to itself; Partial answers 206 with the first half
    // of the asset; RedirectToPort sends each request to the same path at 127.0.0.1:parameter;
    // Unconditional is Normal but ignores If-None-Match.
    enum class Mode {
        Normal,
        Status,
        CutOff,
        Stall,
        RedirectToHttp,
        Slow,
        RedirectToHttps,
        Silent,
        Endless,
        Large,
        CloseDelimited,
        Trickle,
        Chunked,
        RedirectLoop,
        Partial,
        RedirectToPort,
        Unconditional
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // lower-case names
    };

    explicit DownloadServer(const QSslConfiguration& tls, QObject* parent = nullptr);

    bool listen(quint16 port = 0);
    quint16 port() const { return server_.serverPort(); }
    QString baseUrl() const; // https://127.0.0.1:<port>/static/cli

    void setAsset(const QString& name, const QByteArray& body);
    // Serves the file's current contents at each request.
    void setAssetFile(const QString& name, const QString& path);
    void setMode(Mode mode,
                 int parameter = 0); // Status: the code (429/503 with Retry-After: 120);
                                     // CutOff/Stall: bytes sent first; Slow: bytes/s
    const QList<Request>& requests() const { return requests_; }
    int connections() const { return connections_; }

    static std::optional<Mode> modeFromName(const QString& name, int* parameter);
    // The entity tag served with this body.
    static QByteArray etagFor(const QByteArray& body);

Q_SIGNALS:
    void requestReceived();

private:
    void handle(QSslSocket* socket, const Request& request);
    // Bytes [offset, offset + n) of what is sent.
    using Source = std::function<QByteArray(qint64 offset, qint64 n)>;
    // limit -1: never ends.
    void sendBody(QSslSocket* socket, Source source, qint64 limit, bool closeAtLimit,
                  bool chunked = false);

    QSslServer server_;
    QHash<QString, QByteArray> assets_;
    QHash<QString, QString> assetFiles_;
    Mode mode_ = Mode::Normal;
    int parameter_ = 0;
    QList<Request> requests_;
    int connections_ = 0;
};

// A certificate authority and a server certificate for 127.0.0.1 and localhost, made with
// openssl for one test run, plus an unrelated authority for untrusted-certificate cases.
// strangerCert is one of the same authority's, made for another host name.
struct TestPki {
    QString caCert, serverCert, serverKey, otherCaCert, strangerCert;
    static std::optional<TestPki> create(const QString& dir, QString* error);
    QSslConfiguration serverConfiguration(bool stranger = false) const;
};
