#include "ConsoleCapture.h"

#include "Console.h"

ConsoleCapture::ConsoleCapture() {
    Console::setSink([this](const QString& line) {
        QMutexLocker lock(&mutex_);
        lines_.append(line);
    });
}

ConsoleCapture::~ConsoleCapture() {
    Console::setSink({});
}

QStringList ConsoleCapture::lines() const {
    QMutexLocker lock(&mutex_);
    return lines_;
}
