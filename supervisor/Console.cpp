#include "Console.h"
#include "ConsoleWriter.h"

#include <QMutex>

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
ConsoleWriter& writer() {
    // Deliberately never destroyed: see ConsoleWriter.
    static ConsoleWriter* instance = new ConsoleWriter(STDOUT_FILENO);
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
    QByteArray bytes = prefix.toUtf8();
    bytes.reserve(bytes.size() + utf8Tail.size() + 1);
    bytes.append(utf8Tail);
    bytes.append('\n');
    writer().write(std::move(bytes));
}

bool Console::flush(int timeoutMs) {
    return writer().flush(timeoutMs);
}

void Console::takeOverQtMessages() {
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            log(qFormatLogMessage(type, context, message));
            if (type == QtFatalMsg)
                flush(1000); // Qt aborts once this returns
        });
}

void Console::setSink(std::function<void(const QString&)> sink) {
    QMutexLocker lock(&sinkMutex());
    ::sink() = std::move(sink);
}
