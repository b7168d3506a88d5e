#include "Console.h"
#include "ConsoleWriter.h"

#include <QMutex>

#include <cstdlib>

#include <unistd.h>

namespace {
QMutex& sinkMutex() {
    static QMutex mutex;
    return mutex;
}
std::function<void(const QString&)>& sink() {
    static std::function<void(const QString&)> sink;
    return sink;
}
ConsoleWriter& errorWriter() {
    static ConsoleWriter* instance = new ConsoleWriter(STDERR_FILENO);
    return *instance;
}

// Qt's own warnings go to standard error through a writer like the console's: written
// directly, one that nobody reads would stop the thread that warned, the main thread included.
void writeQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    errorWriter().write(qFormatLogMessage(type, context, message).toLocal8Bit() + '\n');
    if (type == QtFatalMsg) {
        errorWriter().flush(1000);
        std::abort();
    }
}

ConsoleWriter& writer() {
    // Deliberately never destroyed: see ConsoleWriter.
    static ConsoleWriter* instance = [] {
        // Only where nobody (a test harness) has a handler of its own.
        const QtMessageHandler current = qInstallMessageHandler(nullptr);
        const QtMessageHandler standard = qInstallMessageHandler(current);
        if (current == standard)
            qInstallMessageHandler(writeQtMessage);
        return new ConsoleWriter(STDOUT_FILENO);
    }();
    return *instance;
}
} // namespace

void Console::log(const QString& line) {
    log(line, QByteArray());
}

void Console::log(const QString& prefix, const QByteArray& utf8Tail) {
    {
        QMutexLocker lock(&sinkMutex());
        if (sink()) {
            sink()(prefix + QString::fromUtf8(utf8Tail));
            return;
        }
    }
    writer().write(prefix.toUtf8(), utf8Tail);
}

bool Console::flush(int timeoutMs) {
    return writer().flush(timeoutMs);
}

void Console::setSink(std::function<void(const QString&)> sink) {
    QMutexLocker lock(&sinkMutex());
    ::sink() = std::move(sink);
}
