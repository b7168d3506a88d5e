#pragma once

#include "TerminalBuffer.h"

#include <QList>
#include <QString>

// A line's style runs as a list that compares and prints.
inline QList<StyledRun> runsOf(const TerminalLine& line) {
    return QList<StyledRun>(line.runs.begin(), line.runs.end());
}

// `count` lines "<word> 0" to "<word> count-1", each ending in a line break.
inline QString numbered(const QString& word, int count) {
    QString text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("%1 %2\n").arg(word).arg(i);
    return text;
}
