#include "TestHttps.h"

#include "VantrelManager.h"

#include <QTemporaryDir>

const TestPki* TestHttps::pki(QString* error) {
    // openssl takes a while, so one authority serves the whole process.
    static QTemporaryDir dir;
    static QString failure;
    static const std::optional<TestPki> made = TestPki::create(dir.path(), &failure);
    if (!made && error)
        *error = failure;
    return made ? &*made : nullptr;
}

TestHttps::TestHttps() {
    const TestPki* authority = pki(&error_);
    if (!authority)
        return;
    server_ = std::make_unique<DownloadServer>(authority->serverConfiguration());
    if (!server_->listen()) {
        error_ = QStringLiteral("the loopback server did not start");
        server_.reset();
    }
}

TestHttps::~TestHttps() = default;

QString TestHttps::caPath() const {
    return pki(nullptr)->caCert;
}

QString TestHttps::otherCaPath() const {
    return pki(nullptr)->otherCaCert;
}

void TestHttps::serve(const QByteArray& body) {
    server_->setAsset(VantrelManager::assetName(), body);
}

void TestHttps::apply(SupervisorOptions& options) const {
    options.baseURL = QUrl(baseUrl());
    options.caCertificates = caPath();
}
