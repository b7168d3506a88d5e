#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

class QIODevice;

// SHA-256, computed on the main thread as a download arrives. Through libcrypto where the build
// has it: its hardware-assisted code is several times faster than Qt's own, which would hold the
// event loop for about 5 ms per megabyte here.
class Sha256 final {
public:
    Sha256();
    ~Sha256();
    Q_DISABLE_COPY_MOVE(Sha256)

    void addData(QByteArrayView bytes);
    // Reads the device to its end; false when a read fails.
    bool addData(QIODevice* device);
    // The digest, hex-encoded. Ends this hash: make a new one for more.
    QString hexResult();

private:
    struct State;
    std::unique_ptr<State> state_;
};
