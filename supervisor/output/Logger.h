#pragma once

#include "output/OutputLog.h"

#include <QString>

// The one way the supervisor reports. A message goes into the output log, which the user reads
// in the window and the log file, and from there to the console; a trace is a diagnostic line
// for the console only. Cheap to copy, callable from any thread, never waits.
class Logger {
public:
    enum class Kind { Info, Progress, Warning, Error, Trace };

    Logger() = default; // reports nothing
    explicit Logger(OutputLog::Writer writer) : writer_(std::move(writer)) {}

    // One line of `kind`; the line break is added.
    void operator()(Kind kind, const QString& line) const;
    void info(const QString& line) const { (*this)(Kind::Info, line); }
    void progress(const QString& line) const { (*this)(Kind::Progress, line); }
    void warning(const QString& line) const { (*this)(Kind::Warning, line); }
    void error(const QString& line) const { (*this)(Kind::Error, line); }
    void trace(const QString& line) const { (*this)(Kind::Trace, line); }

private:
    OutputLog::Writer writer_;
};
