#pragma once

#include "TerminalBuffer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Finds a text in the scrollback of a TerminalBuffer. Lines are searched in slices of a few
// milliseconds from a zero-timer, so a search over the whole bound never holds up the event
// loop; new output is searched as it arrives. Matches name their lines by number, so they stay
// right while older lines are trimmed, and go with the lines they were in. Every match is
// counted, but only the lines that have matches are kept, with their counts: a match's column
// is found again in its line when asked for, so a one-letter pattern takes no more memory than
// a rare one (at most an entry per line of the scrollback).
class TerminalSearch final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminalSearch)

public:
    // Where a match starts; every match is as long as the pattern.
    using Match = TextPosition;
    static constexpr int SliceMs = 4;

    explicit TerminalSearch(const TerminalBuffer* buffer, QObject* parent = nullptr);

    // Starts a new search. Once it has gone through the scrollback, the current match is the
    // last one starting at or before `near` (or the first, when none does).
    void setPattern(const QString& pattern, Qt::CaseSensitivity sensitivity, TextPosition near);
    void clear() { setPattern({}, sensitivity_, {}); }
    const QString& pattern() const { return pattern_; }
    Qt::CaseSensitivity sensitivity() const { return sensitivity_; }
    // Still going through text that was there when the pattern was set.
    bool isSearching() const { return searching_; }

    // Every match, in order: for tests and small scrollbacks, as it costs what it holds.
    QList<Match> matches() const;
    qsizetype matchCount() const { return total_ - dropped_; }
    Match match(qsizetype index) const;
    // -1 while there is none.
    qsizetype currentIndex() const { return current_; }
    // The matches in line `number` as it reads now, in order.
    QList<Match> matchesIn(qint64 number) const;

    // Moves to the next or previous match, wrapping around at either end.
    void next() { step(1); }
    void previous() { step(-1); }

    // To be called after the buffer changed: drops what was trimmed, searches what is new.
    void bufferChanged();

Q_SIGNALS:
    void matchesChanged();
    void currentChanged();
    // The whole scrollback has been searched for the pattern.
    void finished();

private:
    void step(int direction);
    void dropTrimmed();
    void searchSlice();
    bool searchLine(qint64 number);
    // The columns where the pattern starts in line `number`, up to `limit` of them.
    QList<qsizetype> columnsIn(qint64 number, qsizetype limit = -1) const;
    void pickCurrent();

    const TerminalBuffer* buffer_;
    QString pattern_;
    Qt::CaseSensitivity sensitivity_ = Qt::CaseInsensitive;
    TextPosition near_;
    // A line with matches, and how many matches came before it since the search began.
    struct Found {
        qint64 line;
        qsizetype before;
    };
    QList<Found> found_;    // in order; trimmed from the front
    qsizetype total_ = 0;   // matches found since the search began
    qsizetype dropped_ = 0; // of those, in lines since trimmed
    qsizetype current_ = -1;
    // Lines before it are searched for good: only the lines of the screen can still change,
    // so their matches are found again after every change.
    qint64 nextLine_ = 0;
    bool searching_ = false;
    QTimer slice_;
    QElapsedTimer clock_;
};
