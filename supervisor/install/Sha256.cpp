#include "install/Sha256.h"

#include <QIODevice>
#include <QString>

#ifdef HALVANE_HAVE_LIBCRYPTO
#include <openssl/evp.h>

#include <new>

struct Sha256::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (!state_->context || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

void Sha256::addData(QByteArrayView bytes) {
    EVP_DigestUpdate(state_->context, bytes.data(), size_t(bytes.size()));
}

QString Sha256::hexResult() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(state_->context, digest, &size);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), int(size)).toHex());
}
#else
#include <QCryptographicHash>

struct Sha256::State {
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}

void Sha256::addData(QByteArrayView bytes) {
    state_->hash.addData(bytes);
}

QString Sha256::hexResult() {
    return QString::fromLatin1(state_->hash.result().toHex());
}
#endif

Sha256::~Sha256() = default;

bool Sha256::addData(QIODevice* device) {
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 n = device->read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            return device->atEnd();
        addData(QByteArrayView(buffer.constData(), n));
    }
}
