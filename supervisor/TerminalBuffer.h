#pragma once

#include "AnsiParser.h"
#include "HugePages.h"
#include "TextStyle.h"

#include <QList>
#include <QString>

#include <deque>
#include <memory>
#include <span>
#include <vector>

// One style from `start` to the next run's start (or the end of the line).
struct StyledRun {
    int start = 0;
    TextStyle style;
    bool operator==(const StyledRun&) const = default;
};

// A retained line as the buffer holds it; valid until the buffer next changes.
struct TerminalLine {
    QStringView text;
    std::span<const StyledRun> runs; // sorted by start, the first at 0 when the line has text
};

// A place in the buffer that survives trimming: lines are numbered from the first line ever
// written, so a number stays attached to its line while older lines are dropped.
struct TextPosition {
    qint64 line = 0;
    qsizetype column = 0;
    auto operator<=>(const TextPosition&) const = default;
};

// The scrollback: styled lines, bounded by a line count and a character count, trimmed by
// whole lines from the front. The cursor is always in the last line. Lines live in large
// shared chunks, so appending and trimming cost no allocation per line once the bounds are
// reached. Wrapping uses a fixed number of columns, so the wrapped row of any line is found by
// binary search and a new width costs one pass over the line lengths.
class TerminalBuffer final : public TerminalSink {
public:
    struct Limits {
        qsizetype maxLines = 100000;
        qsizetype maxChars = 8 * 1024 * 1024;
        // A longer line is broken, so one endless line cannot escape the character bound.
        qsizetype maxLineChars = 1024 * 1024;
    };

    TerminalBuffer() : TerminalBuffer(Limits{}) {}
    explicit TerminalBuffer(Limits limits);
    Q_DISABLE_COPY_MOVE(TerminalBuffer)
    ~TerminalBuffer() override;

    // Parses and appends terminal output.
    void append(QStringView text) { parser_.feed(text, *this); }
    // Output that would push every retained line out was skipped: `lineBreaks` line breaks of
    // it, after which the parser stood at `state`. The lines held now are dropped as the
    // skipped text would have dropped them, and what follows starts a new line.
    void skip(const AnsiParser& state, qint64 lineBreaks);
    const AnsiParser& parser() const { return parser_; }
    const Limits& limits() const { return limits_; }

    qsizetype lineCount() const { return count_; }
    qsizetype charCount() const { return chars_; }
    // The number of the line at index 0; grows as lines are trimmed, so it also counts them.
    qint64 firstLineNumber() const { return firstLineNumber_; }
    TerminalLine line(qsizetype index) const;
    qsizetype cursorColumn() const { return cursor_; }

    // Wrapping. Rows are counted over the lines that are shown: all of them, except the last
    // one while it is still empty (the cursor waiting at the start of a new line).
    void setColumns(int columns);
    int columns() const { return columns_; }
    qsizetype shownLineCount() const;
    qint64 rowCount() const;
    qint64 rowsOf(qsizetype index) const { return rowsFor(record(index).length); }
    qint64 firstRowOf(qsizetype index) const {
        return record(index).rowsBefore - record(0).rowsBefore;
    }
    // The index of the line that holds wrapped row `row` (clamped to the shown lines).
    qsizetype lineAtRow(qint64 row) const;

    // Text between two positions, lines joined by '\n', without styles.
    QString text(TextPosition from, TextPosition to) const;
    // Everything retained.
    QString text() const { return text({firstLineNumber_, 0}, endPosition()); }
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
    // Items of many lines in large chunks, oldest first. A line's items are contiguous; only the
    // last line changes, at the end of the last chunk. Chunks no retained line uses any more
    // are kept for reuse: the bounds cap how many there are.
    template <typename T, qsizetype ChunkItems> class Arena {
    public:
        // Where a new last line starts, and its chunk's serial.
        T* begin(qint64& serial);
        // Room for `size` items in the last line, which has `length` at `at`; moves them into a
        // new chunk when this one is full. Returns where the line now starts.
        T* reserve(T* at, qsizetype length, qsizetype size, qint64& serial);
        // The last line now has `length` items.
        void setEnd(const T* at, qsizetype length);
        void releaseBefore(qint64 serial);
        void clear();

    private:
        struct Free {
            void operator()(T* items) const { HugePages::release(items); }
        };
        using ChunkData = std::unique_ptr<T[], Free>;
        struct Chunk {
            ChunkData data;
            qsizetype capacity = 0;
            qsizetype used = 0;
        };
        Chunk make(qsizetype capacity);
        std::deque<Chunk> chunks_;
        qint64 firstSerial_ = 0; // of chunks_.front()
        std::vector<Chunk> spare_;
    };
    struct Record {
        char16_t* text = nullptr;
        StyledRun* runs = nullptr;
        qsizetype length = 0;
        qsizetype runCount = 0;
        qint64 textChunk = 0;
        qint64 runChunk = 0;
        qint64 rowsBefore = 0; // wrapped rows of every earlier line, from an arbitrary origin
    };

    const Record& record(qsizetype index) const {
        return ring_[size_t(head_ + index) & (ring_.size() - 1)];
    }
    Record& last() { return ring_[size_t(head_ + count_ - 1) & (ring_.size() - 1)]; }
    const Record& last() const { return record(count_ - 1); }
    void startLine(qint64 rowsBefore);
    char16_t* textRoom(qsizetype size);
    void setLength(qsizetype length);
    void setRuns(const QList<StyledRun>& runs);
    QList<StyledRun>& editableRuns();
    qint64 rowsFor(qsizetype length) const {
        return length == 0 ? 1 : (length + columns_ - 1) / columns_;
    }
    void writeInLine(QStringView text, const TextStyle& style);
    void trim();

    Limits limits_;
    AnsiParser parser_;
    // 2 MiB each.
    Arena<char16_t, 1024 * 1024> text_;
    Arena<StyledRun, 128 * 1024> runs_;
    std::vector<Record, HugePages::Allocator<Record>> ring_; // a power of two in size
    qsizetype head_ = 0;
    qsizetype count_ = 0;
    qsizetype chars_ = 0;
    qsizetype cursor_ = 0;
    qint64 firstLineNumber_ = 0;
    int columns_ = 80;
    QList<StyledRun> scratch_; // the last line's runs while they are rewritten
};

// Gives [from, to) of a line `style`, splitting and merging runs as needed.
void applyStyle(QList<StyledRun>& runs, qsizetype lineLength, int from, int to,
                const TextStyle& style);
