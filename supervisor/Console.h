#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The console log: diagnostic lines on standard output, one per call, each followed by a
// newline. Safe to call from any thread, and never waits for standard output: when it cannot
// keep up, lines are dropped and counted (see ConsoleWriter).
namespace Console {
void log(const QString& line);
// The same for a line whose tail is already UTF-8, such as a chunk of CLI output.
void log(const QString& prefix, const QByteArray& utf8Tail);
// Waits up to timeoutMs for what is queued to be written; false when it was not.
bool flush(int timeoutMs);
// Qt's own messages become console lines too: written by Qt itself to a standard error that
// nobody reads, they would stall the thread that logs them, the main thread included.
void takeOverQtMessages();

// Tests capture the lines instead of (not in addition to) standard output, synchronously on
// the logging thread. Pass {} to restore.
void setSink(std::function<void(const QString&)> sink);
} // namespace Console
