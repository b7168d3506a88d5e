#include "Console.h"

#include <QMutex>

#include <cstdio>

namespace {
QMutex& consoleMutex() {
    static QMutex mutex;
    return mutex;
}
std::function<void(const QString&)>& consoleSink() {
    static std::function<void(const QString&)> sink;
    return sink;
}
} // namespace

void Console::log(const QString& line) {
    QMutexLocker lock(&consoleMutex());
    if (consoleSink()) {
        consoleSink()(line);
        return;
    }
    QByteArray bytes = line.toUtf8();
    bytes.append('\n');
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    // Flushed per line so a supervising terminal or test sees each line as it happens.
    std::fflush(stdout);
}

void Console::setSink(std::function<void(const QString&)> sink) {
    QMutexLocker lock(&consoleMutex());
    consoleSink() = std::move(sink);
}
