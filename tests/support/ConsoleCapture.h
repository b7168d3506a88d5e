#pragma once

#include <QMutex>
#include <QStringList>

// The console lines of the code under test, captured from any thread instead of printed.
class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    QStringList lines() const;
    QString text() const { return lines().join(QLatin1Char('\n')); }

private:
    mutable QMutex mutex_;
    QStringList lines_;
};
