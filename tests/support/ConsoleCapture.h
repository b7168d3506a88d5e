#pragma once

#include "output/Console.h"

#include <QMutex>
#include <QStringList>

// The console lines of the code under test, captured from any thread instead of printed.
class ConsoleCapture {
public:
    ConsoleCapture() {
        Console::setSink([this](const QString& line) {
            QMutexLocker lock(&mutex_);
            lines_.append(line);
        });
    }
    ~ConsoleCapture() { Console::setSink({}); }

    QString text() const {
        QMutexLocker lock(&mutex_);
        return lines_.join(QLatin1Char('\n'));
    }

private:
    mutable QMutex mutex_;
    QStringList lines_;
};
