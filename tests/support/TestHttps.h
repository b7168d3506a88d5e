#pragma once

#include "DownloadServer.h"

#include <memory>

struct SupervisorOptions;

// A loopback DownloadServer, started, with certificates of an authority made once per test
// process.
class TestHttps {
public:
    TestHttps();
    ~TestHttps();

    // False, with error() saying why, when the certificates could not be made or the server
    // did not start.
    bool isValid() const { return server_ != nullptr; }
    QString error() const { return error_; }

    DownloadServer& server() { return *server_; }
    QString baseUrl() const { return server_->baseUrl(); }
    QString caPath() const;
    // An authority that signed nothing this server presents.
    QString otherCaPath() const;

    // Serves body as this build's CLI asset.
    void serve(const QByteArray& body);
    // Points the options at this server, trusting its authority.
    void apply(SupervisorOptions& options) const;

private:
    static const TestPki* pki(QString* error);
    std::unique_ptr<DownloadServer> server_;
    QString error_;
};
