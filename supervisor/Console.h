#pragma once

#include <QString>

#include <functional>

// The console log: diagnostic lines on standard output, one per call, each followed by a
// newline. Safe to call from any thread.
namespace Console {
void log(const QString& line);

// Tests capture the lines instead of (not in addition to) standard output. Pass {} to restore.
void setSink(std::function<void(const QString&)> sink);
} // namespace Console
