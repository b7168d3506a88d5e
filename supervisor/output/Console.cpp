#include "output/Console.h"
#include "output/ConsoleWriter.h"

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
ConsoleWriter& writer() {
    // Deliberately never destroyed: see ConsoleWriter.
    static ConsoleWriter* instance = new ConsoleWriter(STDOUT_FILENO);
    return *instance;
}
ConsoleWriter& errorWriter() {
    static ConsoleWriter* instance = new ConsoleWriter(STDERR_FILENO);
    return *instance;
}

// A test's sink takes the line instead of standard output.
bool toSink(const QString& prefix, const QByteArray& tail) {
    QMutexLocker lock(&sinkMutex());
    if (sink())
        sink()(prefix + QString::fromUtf8(tail));
    return bool(sink());
}

// Written directly, a warning to a standard error that nobody reads would stop the thread that
// warned, the main thread included.
void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    errorWriter().write(qFormatLogMessage(type, context, message).toUtf8() + '\n');
    if (type == QtFatalMsg) {
        errorWriter().flush(1000);
        std::abort();
    }
}
} // namespace

void Console::installMessageHandler() {
    qInstallMessageHandler(onQtMessage);
}

void Console::log(const QString& line) {
    log(line, QByteArray());
}

void Console::log(const QString& prefix, const QByteArray& utf8Tail) {
    if (!toSink(prefix, utf8Tail))
        writer().write(prefix.toUtf8(), utf8Tail);
}

void Console::logOutput(const QString& prefix, const QByteArray& output) {
    if (!toSink(prefix, output))
        writer().writeCapped(prefix.toUtf8(), output);
}

bool Console::flush(int timeoutMs) {
    return writer().flush(timeoutMs);
}

void Console::setSink(std::function<void(const QString&)> sink) {
    QMutexLocker lock(&sinkMutex());
    ::sink() = std::move(sink);
}
