#include "output/Logger.h"

#include "output/Console.h"

void Logger::operator()(Kind kind, const QString& line) const {
    if (kind == Kind::Trace)
        Console::log(line);
    else if (writer_)
        writer_(line + QLatin1Char('\n'));
}
