#pragma once

#include "DownloadServer.h"
#include "VantrelManager.h"

#include <QTemporaryDir>

// A loopback DownloadServer, listening, with the certificates of an authority made once per
// test process.
class TestHttps : public DownloadServer {
public:
    TestHttps() : DownloadServer(pki() ? pki()->serverConfiguration() : QSslConfiguration()) {
        if (pki(&error_) && !listen())
            error_ = QStringLiteral("the loopback server did not start");
    }
    // Empty once the server listens, otherwise why it does not.
    QString error() const { return error_; }

    // Null when openssl failed. caCert signed this server's certificate, otherCaCert nothing it
    // presents.
    static const TestPki* pki(QString* error = nullptr) {
        // openssl takes a while, so one authority serves the whole process.
        static QTemporaryDir dir;
        static QString failure;
        static const std::optional<TestPki> made = TestPki::create(dir.path(), &failure);
        if (!made && error)
            *error = failure;
        return made ? &*made : nullptr;
    }

    // Serves body as this build's CLI asset.
    void serve(const QByteArray& body) { setAsset(VantrelManager::assetName(), body); }

private:
    QString error_;
};
