#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The console log: diagnostic lines on standard output, one per call, each followed by a
// newline. Safe to call from any thread, and never waits for standard output: when it cannot
// keep up, lines are dropped and counted (see ConsoleWriter).
namespace Console {
void log(const QString& line);
// The same for a line whose tail is already UTF-8, such as a message for the output log.
void log(const QString& prefix, const QByteArray& utf8Tail);
// The same for a chunk of the CLI's output, as it came: it has a capped share of the console
// (see ConsoleWriter::writeCapped).
void logOutput(const QString& prefix, const QByteArray& output);
// Waits up to timeoutMs for what is queued to be written; false when it was not.
bool flush(int timeoutMs);
// Qt's own warnings, on standard error, through a queue like the console's: a reader that
// stopped reading must not freeze the thread that warns.
void installMessageHandler();

// Tests capture the lines instead of (not in addition to) standard output, synchronously on
// the logging thread. Pass {} to restore.
void setSink(std::function<void(const QString&)> sink);
} // namespace Console
