#pragma once

#include "AnsiParser.h"
#include "TextStyle.h"

#include <QList>
#include <QString>

#include <deque>

// One style from `start` to the next run's start (or the end of the line).
struct StyledRun {
    int start = 0;
    TextStyle style;
    bool operator==(const StyledRun&) const = default;
};

struct TerminalLine {
    QString text;
    QList<StyledRun> runs; // sorted by start, the first at 0 when the line has text
    qint64 rowsBefore = 0; // wrapped rows of every earlier line, counted from an arbitrary origin
};

// A place in the buffer that survives trimming: lines are numbered from the first line ever
// written, so a number stays attached to its line while older lines are dropped.
struct TextPosition {
    qint64 line = 0;
    qsizetype column = 0;
    auto operator<=>(const TextPosition&) const = default;
};

// The scrollback: styled lines, bounded by a line count and a character count, trimmed by
// whole lines from the front. The cursor is always in the last line. Appending costs what the
// appended text costs; wrapping uses a fixed number of columns, so the wrapped row of any line
// is found by binary search and a new width costs one pass over the line lengths.
class TerminalBuffer : public TerminalSink {
public:
    struct Limits {
        qsizetype maxLines = 100000;
        qsizetype maxChars = 8 * 1024 * 1024;
        // A longer line is broken, so one endless line cannot escape the character bound.
        qsizetype maxLineChars = 1024 * 1024;
    };

    TerminalBuffer() : TerminalBuffer(Limits{}) {}
    explicit TerminalBuffer(Limits limits);

    // Parses and appends terminal output.
    void append(QStringView text) { parser_.feed(text, *this); }
    void clear();
    const Limits& limits() const { return limits_; }

    qsizetype lineCount() const { return qsizetype(lines_.size()); }
    qsizetype charCount() const { return chars_; }
    // The number of the line at index 0; grows as lines are trimmed.
    qint64 firstLineNumber() const { return firstLineNumber_; }
    const TerminalLine& line(qsizetype index) const { return lines_[size_t(index)]; }
    qsizetype cursorColumn() const { return cursor_; }

    // Wrapping. Rows are counted over the lines that are shown: all of them, except the last
    // one while it is still empty (the cursor waiting at the start of a new line).
    void setColumns(int columns);
    int columns() const { return columns_; }
    qsizetype shownLineCount() const;
    qint64 rowCount() const;
    qint64 rowsOf(qsizetype index) const { return rowsFor(lines_[size_t(index)].text.size()); }
    qint64 firstRowOf(qsizetype index) const {
        return lines_[size_t(index)].rowsBefore - lines_.front().rowsBefore;
    }
    // The index of the line that holds wrapped row `row` (clamped to the shown lines).
    qsizetype lineAtRow(qint64 row) const;

    // Text between two positions, lines joined by '\n', without styles.
    QString text(TextPosition from, TextPosition to) const;
    TextPosition endPosition() const;
    TextPosition clamped(TextPosition position) const;

    // TerminalSink
    void write(QStringView text, const TextStyle& style) override;
    void newLine() override;
    void carriageReturn() override { cursor_ = 0; }
    void backspace() override;
    void tab() override;
    void eraseInLine(int mode) override;

private:
    qint64 rowsFor(qsizetype length) const {
        return length == 0 ? 1 : (length + columns_ - 1) / columns_;
    }
    void writeInLine(QStringView text, const TextStyle& style);
    void trim();

    Limits limits_;
    AnsiParser parser_;
    std::deque<TerminalLine> lines_;
    qsizetype chars_ = 0;
    qsizetype cursor_ = 0;
    qint64 firstLineNumber_ = 0;
    int columns_ = 80;
};

// Gives [from, to) of a line `style`, splitting and merging runs as needed.
void applyStyle(QList<StyledRun>& runs, qsizetype lineLength, int from, int to,
                const TextStyle& style);
