#pragma once

#include "AnsiParser.h"
#include "HugePages.h"
#include "TextStyle.h"

#include <QList>
#include <QString>

#include <algorithm>
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

// What a terminal shows: styled lines, bounded by a line count and a character count, trimmed
// by whole lines from the front. The last lines, as many as the terminal has rows, are the
// screen: the cursor moves over them and rewrites them, as a terminal does. Lines above it are
// the scrollback and never change again; they live in large shared chunks, so appending and
// trimming cost no allocation per line once the bounds are reached. Rows and columns of the
// screen are cells: a wide character takes two. How a view wraps the lines is its own affair
// (TerminalLayout).
class TerminalBuffer final : public TerminalSink {
public:
    struct Limits {
        qsizetype maxLines = 100000;
        qsizetype maxChars = 8 * 1024 * 1024;
        // A longer line is broken, so one endless line cannot escape the character bound.
        qsizetype maxLineChars = 1024 * 1024;
    };

    // The screen is as tall as a terminal a program may assume, at least this.
    static constexpr int MinScreenRows = 24;
    static constexpr int MaxScreenRows = 500;

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

    qsizetype lineCount() const { return count_ + screenCount_; }
    qsizetype charCount() const { return chars_; }
    // Lines before this index have left the screen: they never change again.
    qsizetype settledLineCount() const { return count_; }
    // At least MinScreenRows and never more than the line bound; a screen made shorter lets
    // its top lines go to the scrollback.
    void setScreenRows(int rows);
    int screenRows() const { return screenRows_; }
    // The number of the line at index 0; grows as lines are trimmed, so it also counts them.
    qint64 firstLineNumber() const { return firstLineNumber_; }
    TerminalLine line(qsizetype index) const;
    // Where the cursor is: its line, and the index in that line's text (past the end when it
    // stands on blank cells after the text).
    qsizetype cursorLine() const { return count_ + row_; }
    qsizetype cursorColumn() const { return cursor_; }

    // Text between two positions, lines joined by '\n', without styles.
    QString text(TextPosition from, TextPosition to) const;
    // Everything retained.
    QString text() const { return text({firstLineNumber_, 0}, endPosition()); }
    TextPosition endPosition() const;
    TextPosition clamped(TextPosition position) const;

    // TerminalSink
    void write(QStringView text, const TextStyle& style) override;
    void newLine() override;
    void carriageReturn() override;
    void backspace() override { moveCursor(Move::Back, 1); }
    void tab() override;
    void eraseInLine(int mode) override;
    void eraseInDisplay(int mode) override;
    void moveCursor(Move move, int amount) override;
    void editChars(CharEdit edit, int count) override;
    void saveCursor() override;
    void restoreCursor() override;
    // Only web and mail addresses become links.
    quint16 hyperlink(QStringView uri) override;
    // The address a style's link goes to; empty for none, or once it is long forgotten.
    QString link(quint16 number) const;

private:
    // Items of many lines in chunks, oldest first. A line's items are contiguous; only the last
    // line changes, at the end of the last chunk. The storage grows with what it holds: the
    // first chunk is small and each new one twice the last, up to ChunkItems. Full-size chunks
    // no retained line uses any more are kept for reuse: the bounds cap how many there are.
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
        static constexpr qsizetype FirstItems =
            std::max<qsizetype>(1, qsizetype(8 * 1024 / sizeof(T)));
        Chunk make(qsizetype capacity);
        std::deque<Chunk> chunks_;
        qint64 firstSerial_ = 0; // of chunks_.front()
        std::vector<Chunk> spare_;
        qsizetype nextItems_ = FirstItems; // the size of the next chunk
    };
    struct Record {
        char16_t* text = nullptr;
        StyledRun* runs = nullptr;
        qsizetype length = 0;
        qsizetype runCount = 0;
        qint64 textChunk = 0;
        qint64 runChunk = 0;
    };

    // A line of the screen, rewritten in place; its storage is kept for the next line.
    struct ScreenLine {
        std::u16string text;
        QList<StyledRun> runs;
    };

    const Record& record(qsizetype index) const {
        return ring_[size_t(head_ + index) & (ring_.size() - 1)];
    }
    ScreenLine& screenLine(qsizetype row) {
        return screen_[size_t(screenHead_ + row) & (screen_.size() - 1)];
    }
    const ScreenLine& screenLine(qsizetype row) const {
        return screen_[size_t(screenHead_ + row) & (screen_.size() - 1)];
    }
    ScreenLine& current() { return screenLine(row_); }

    // A new empty line at the bottom of the screen; the top one goes to the scrollback when
    // the screen is full.
    void pushLine();
    void commitTop();
    void resizeScreen(qsizetype size);
    void toRow(qsizetype row);
    // The cursor in cells, and placing it at a cell of its line.
    qsizetype column() const;
    void setColumn(qsizetype cells);
    // Replaces [from, to) of a screen line with `with` in `style`.
    void splice(ScreenLine& line, qsizetype from, qsizetype to, QStringView with,
                const TextStyle& style = {});
    void clearLine(ScreenLine& line);
    // Blanks cells [from, to) of the cursor's line, whole wide characters at either edge.
    void blankCells(qsizetype from, qsizetype to);
    void writeInLine(QStringView text, const TextStyle& style);
    void trim();

    Limits limits_;
    AnsiParser parser_;
    // Up to 2 MiB each.
    Arena<char16_t, 1024 * 1024> text_;
    Arena<StyledRun, 128 * 1024> runs_;
    std::vector<Record, HugePages::Allocator<Record>> ring_; // a power of two in size
    qsizetype head_ = 0;
    qsizetype count_ = 0; // lines in the scrollback
    // The screen, a ring of a power of two in size.
    std::vector<ScreenLine> screen_;
    qsizetype screenHead_ = 0;
    qsizetype screenCount_ = 0;
    int screenRows_ = MinScreenRows;
    qsizetype chars_ = 0;
    qsizetype row_ = 0;     // of the cursor, in the screen
    qsizetype cursor_ = 0;  // index in the cursor's line
    bool halfCell_ = false; // on the right half of the wide character at cursor_
    qsizetype savedRow_ = 0;
    qsizetype savedColumn_ = 0;
    qint64 firstLineNumber_ = 0;
    // The last links, by number modulo their count.
    static constexpr int KeptLinks = 1024;
    std::vector<std::pair<quint16, QString>> links_ = decltype(links_)(KeptLinks);
    quint16 lastLink_ = 0;
};

// Replaces [from, to) of a line's runs with `count` characters of `style`, shifting the runs
// after it, splitting and merging runs as needed.
void spliceRuns(QList<StyledRun>& runs, qsizetype lineLength, int from, int to, int count,
                const TextStyle& style);
