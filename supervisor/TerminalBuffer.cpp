#include "TerminalBuffer.h"

#include <QChar>

#include <algorithm>

namespace {
void normalize(QList<StyledRun>& runs, qsizetype lineLength) {
    while (!runs.isEmpty() && runs.last().start >= lineLength)
        runs.removeLast();
    qsizetype out = 0;
    for (qsizetype i = 0; i < runs.size(); ++i) {
        const StyledRun& run = runs[i];
        if (out > 0 && runs[out - 1].style == run.style)
            continue; // same look as the run before: one run
        if (i + 1 < runs.size() && runs[i + 1].start == run.start)
            continue; // empty: the next run starts at the same column
        runs[out++] = run;
    }
    runs.resize(out);
}
} // namespace

void applyStyle(QList<StyledRun>& runs, qsizetype lineLength, int from, int to,
                const TextStyle& style) {
    if (from >= to)
        return;
    const auto startsBefore = [](const StyledRun& run, int column) { return run.start < column; };
    // The style in effect at `to` carries on after the new run.
    auto atTo = std::lower_bound(runs.begin(), runs.end(), to + 1, startsBefore);
    const bool hasAfter = to < lineLength && atTo != runs.begin();
    const TextStyle after = hasAfter ? (atTo - 1)->style : TextStyle{};

    const auto first = std::lower_bound(runs.begin(), runs.end(), from, startsBefore);
    const qsizetype at = first - runs.begin();
    const qsizetype removed = atTo - first;
    runs.remove(at, removed);
    runs.insert(at, StyledRun{from, style});
    if (hasAfter)
        runs.insert(at + 1, StyledRun{to, after});
    normalize(runs, lineLength);
}

template <typename T, qsizetype ChunkItems>
typename TerminalBuffer::Arena<T, ChunkItems>::Chunk
TerminalBuffer::Arena<T, ChunkItems>::make(qsizetype capacity) {
    if (capacity <= ChunkItems && !spare_.empty()) {
        Chunk chunk = std::move(spare_.back());
        spare_.pop_back();
        chunk.used = 0;
        return chunk;
    }
    std::size_t bytes = 0;
    void* block = HugePages::allocate(size_t(std::max(capacity, ChunkItems)) * sizeof(T), &bytes);
    // The items are written before they are read, and need no construction.
    return Chunk{ChunkData(static_cast<T*>(block)), qsizetype(bytes / sizeof(T)), 0};
}

template <typename T, qsizetype ChunkItems>
T* TerminalBuffer::Arena<T, ChunkItems>::begin(qint64& serial) {
    if (chunks_.empty())
        chunks_.push_back(make(ChunkItems));
    serial = firstSerial_ + qint64(chunks_.size()) - 1;
    return chunks_.back().data.get() + chunks_.back().used;
}

template <typename T, qsizetype ChunkItems>
T* TerminalBuffer::Arena<T, ChunkItems>::reserve(T* at, qsizetype length, qsizetype size,
                                                 qint64& serial) {
    Chunk& current = chunks_.back();
    const qsizetype offset = at - current.data.get();
    if (offset + size <= current.capacity)
        return at;
    // A line that outgrows a chunk gets room to grow on, so a long one moves only a few times.
    Chunk next = make(offset == 0 ? size + size / 2 : size);
    std::copy_n(at, length, next.data.get());
    current.used = offset;
    chunks_.push_back(std::move(next));
    serial = firstSerial_ + qint64(chunks_.size()) - 1;
    return chunks_.back().data.get();
}

template <typename T, qsizetype ChunkItems>
void TerminalBuffer::Arena<T, ChunkItems>::setEnd(const T* at, qsizetype length) {
    Chunk& current = chunks_.back();
    current.used = (at - current.data.get()) + length;
}

template <typename T, qsizetype ChunkItems>
void TerminalBuffer::Arena<T, ChunkItems>::releaseBefore(qint64 serial) {
    while (firstSerial_ < serial && chunks_.size() > 1) {
        Chunk& chunk = chunks_.front();
        if (chunk.capacity == ChunkItems)
            spare_.push_back(std::move(chunk));
        chunks_.pop_front();
        ++firstSerial_;
    }
}

template <typename T, qsizetype ChunkItems> void TerminalBuffer::Arena<T, ChunkItems>::clear() {
    firstSerial_ += qint64(chunks_.size());
    while (!chunks_.empty()) {
        if (chunks_.front().capacity == ChunkItems)
            spare_.push_back(std::move(chunks_.front()));
        chunks_.pop_front();
    }
}

TerminalBuffer::TerminalBuffer(Limits limits) : limits_(limits) {
    limits_.maxLines = std::max<qsizetype>(1, limits_.maxLines);
    limits_.maxChars = std::max<qsizetype>(1, limits_.maxChars);
    limits_.maxLineChars = std::clamp<qsizetype>(limits_.maxLineChars, 1, limits_.maxChars);
    ring_.resize(16);
    startLine(0);
}

TerminalBuffer::~TerminalBuffer() = default;

void TerminalBuffer::startLine(qint64 rowsBefore) {
    if (size_t(count_) == ring_.size()) {
        decltype(ring_) bigger(ring_.size() * 2);
        for (qsizetype i = 0; i < count_; ++i)
            bigger[size_t(i)] = record(i);
        ring_.swap(bigger);
        head_ = 0;
    }
    ++count_;
    Record& line = last();
    line = Record{};
    line.text = text_.begin(line.textChunk);
    line.runs = runs_.begin(line.runChunk);
    line.rowsBefore = rowsBefore;
    cursor_ = 0;
}

TerminalLine TerminalBuffer::line(qsizetype index) const {
    const Record& r = record(index);
    return {QStringView(r.text, r.length), std::span<const StyledRun>(r.runs, size_t(r.runCount))};
}

char16_t* TerminalBuffer::textRoom(qsizetype size) {
    Record& line = last();
    line.text = text_.reserve(line.text, line.length, size, line.textChunk);
    return line.text;
}

void TerminalBuffer::setLength(qsizetype length) {
    Record& line = last();
    line.length = length;
    text_.setEnd(line.text, length);
}

QList<StyledRun>& TerminalBuffer::editableRuns() {
    const Record& line = last();
    scratch_.resize(line.runCount);
    std::copy_n(line.runs, line.runCount, scratch_.begin());
    return scratch_;
}

void TerminalBuffer::setRuns(const QList<StyledRun>& runs) {
    Record& line = last();
    line.runs = runs_.reserve(line.runs, line.runCount, runs.size(), line.runChunk);
    std::copy(runs.begin(), runs.end(), line.runs);
    line.runCount = runs.size();
    runs_.setEnd(line.runs, line.runCount);
}

void TerminalBuffer::skip(const AnsiParser& state, qint64 lineBreaks) {
    const qint64 lastNumber = firstLineNumber_ + count_ - 1;
    const qint64 rows = last().rowsBefore + rowsFor(last().length);
    text_.clear();
    runs_.clear();
    count_ = 0;
    head_ = 0;
    chars_ = 0;
    firstLineNumber_ = lastNumber + lineBreaks;
    parser_ = state;
    startLine(rows);
}

void TerminalBuffer::write(QStringView text, const TextStyle& style) {
    while (!text.isEmpty()) {
        const qsizetype room = limits_.maxLineChars - cursor_;
        if (room <= 0) {
            newLine();
            continue;
        }
        const QStringView piece = text.first(std::min(room, text.size()));
        writeInLine(piece, style);
        text = text.sliced(piece.size());
    }
    if (chars_ > limits_.maxChars)
        trim();
}

void TerminalBuffer::writeInLine(QStringView piece, const TextStyle& style) {
    const qsizetype length = last().length;
    const qsizetype n = piece.size();
    const qsizetype end = cursor_ + n;
    const qsizetype newLength = std::max(length, end);
    char16_t* text = textRoom(newLength);
    std::copy_n(piece.utf16(), n, text + cursor_);
    setLength(newLength);
    chars_ += newLength - length;
    if (cursor_ == length) {
        Record& line = last();
        if (line.runCount == 0 || line.runs[line.runCount - 1].style != style) {
            line.runs = runs_.reserve(line.runs, line.runCount, line.runCount + 1, line.runChunk);
            line.runs[line.runCount++] = StyledRun{int(length), style};
            runs_.setEnd(line.runs, line.runCount);
        }
        cursor_ = end;
        return;
    }
    // The cursor was moved back (carriage return, backspace): overwrite, like a terminal.
    // Overwriting half of a character blanks the other half, as a terminal blanks the rest
    // of a wide cell; a lone surrogate would draw as garbage.
    if (cursor_ > 0 && QChar::isHighSurrogate(text[cursor_ - 1]) &&
        !QChar::isLowSurrogate(text[cursor_]))
        text[cursor_ - 1] = u' ';
    if (end < newLength && QChar::isLowSurrogate(text[end]) &&
        !QChar::isHighSurrogate(text[end - 1]))
        text[end] = u' ';
    QList<StyledRun>& runs = editableRuns();
    applyStyle(runs, newLength, int(cursor_), int(end), style);
    setRuns(runs);
    cursor_ = end;
}

void TerminalBuffer::newLine() {
    startLine(last().rowsBefore + rowsFor(last().length));
    trim();
}

void TerminalBuffer::backspace() {
    if (cursor_ == 0)
        return;
    --cursor_;
    const Record& line = last();
    if (cursor_ > 0 && cursor_ < line.length && QChar::isLowSurrogate(line.text[cursor_]) &&
        QChar::isHighSurrogate(line.text[cursor_ - 1]))
        --cursor_; // one character, not half of one
}

void TerminalBuffer::tab() {
    const qsizetype target = std::min((cursor_ / 8 + 1) * 8, limits_.maxLineChars);
    const qsizetype length = last().length;
    if (target <= length) {
        cursor_ = target;
        return;
    }
    // Tab cells beyond the end are blank, not painted in the current colours.
    cursor_ = length;
    writeInLine(QString(target - length, QLatin1Char(' ')), TextStyle{});
    if (chars_ > limits_.maxChars)
        trim();
}

void TerminalBuffer::eraseInLine(int mode) {
    const qsizetype length = last().length;
    switch (mode) {
    case 0:
        if (cursor_ < length) {
            setLength(cursor_);
            QList<StyledRun>& runs = editableRuns();
            normalize(runs, cursor_);
            setRuns(runs);
            chars_ -= length - cursor_;
        }
        break;
    case 1: {
        const qsizetype n = std::min(cursor_ + 1, length);
        std::fill_n(last().text, n, u' ');
        QList<StyledRun>& runs = editableRuns();
        applyStyle(runs, length, 0, int(n), TextStyle{});
        setRuns(runs);
        break;
    }
    case 2: {
        const qsizetype kept = std::min(cursor_, length);
        std::fill_n(last().text, kept, u' ');
        setLength(kept);
        setRuns(kept > 0 ? QList<StyledRun>{StyledRun{0, TextStyle{}}} : QList<StyledRun>{});
        chars_ += kept - length;
        break;
    }
    default:
        break;
    }
}

void TerminalBuffer::trim() {
    bool dropped = false;
    while (count_ > 1 && (count_ > limits_.maxLines || chars_ > limits_.maxChars)) {
        chars_ -= record(0).length;
        head_ = qsizetype(size_t(head_ + 1) & (ring_.size() - 1));
        --count_;
        ++firstLineNumber_;
        dropped = true;
    }
    if (dropped) {
        text_.releaseBefore(record(0).textChunk);
        runs_.releaseBefore(record(0).runChunk);
    }
}

void TerminalBuffer::setColumns(int columns) {
    columns = std::max(1, columns);
    if (columns == columns_)
        return;
    columns_ = columns;
    qint64 rows = 0;
    for (qsizetype i = 0; i < count_; ++i) {
        Record& line = ring_[size_t(head_ + i) & (ring_.size() - 1)];
        line.rowsBefore = rows;
        rows += rowsFor(line.length);
    }
}

qsizetype TerminalBuffer::shownLineCount() const {
    return (count_ > 1 && last().length == 0) ? count_ - 1 : count_;
}

qint64 TerminalBuffer::rowCount() const {
    const qsizetype lastShown = shownLineCount() - 1;
    return firstRowOf(lastShown) + rowsOf(lastShown);
}

qsizetype TerminalBuffer::lineAtRow(qint64 row) const {
    // The first line that starts after `row`; the one before it holds the row.
    qsizetype low = 0;
    qsizetype high = shownLineCount();
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (firstRowOf(middle) <= row)
            low = middle + 1;
        else
            high = middle;
    }
    return std::max<qsizetype>(0, low - 1);
}

TextPosition TerminalBuffer::endPosition() const {
    return {firstLineNumber_ + count_ - 1, last().length};
}

TextPosition TerminalBuffer::clamped(TextPosition position) const {
    if (position.line < firstLineNumber_)
        return {firstLineNumber_, 0};
    const TextPosition end = endPosition();
    if (position.line > end.line)
        return end;
    const qsizetype length = record(position.line - firstLineNumber_).length;
    position.column = std::clamp<qsizetype>(position.column, 0, length);
    return position;
}

QString TerminalBuffer::text(TextPosition from, TextPosition to) const {
    from = clamped(from);
    to = clamped(to);
    if (to < from)
        std::swap(from, to);
    QString result;
    if (from.line == firstLineNumber_ && to == endPosition())
        result.reserve(chars_ + count_);
    for (qint64 number = from.line; number <= to.line; ++number) {
        const QStringView text = line(number - firstLineNumber_).text;
        const qsizetype a = number == from.line ? from.column : 0;
        const qsizetype b = number == to.line ? to.column : text.size();
        result += text.sliced(a, b - a);
        if (number != to.line)
            result += QLatin1Char('\n');
    }
    return result;
}
