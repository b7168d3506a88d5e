#include "TerminalBuffer.h"

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

// Drops the spare capacity of a finished line when it is worth a copy.
template <typename Container> void squeezeIfWasteful(Container& c) {
    if (c.capacity() > c.size() + c.size() / 4 + 8)
        c.squeeze();
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

TerminalBuffer::TerminalBuffer(Limits limits) : limits_(limits) {
    limits_.maxLines = std::max<qsizetype>(1, limits_.maxLines);
    limits_.maxChars = std::max<qsizetype>(1, limits_.maxChars);
    limits_.maxLineChars = std::clamp<qsizetype>(limits_.maxLineChars, 1, limits_.maxChars);
    lines_.emplace_back();
}

void TerminalBuffer::clear() {
    // Numbers keep growing, so positions taken before the clear point at nothing.
    firstLineNumber_ += qint64(lines_.size());
    lines_.clear();
    lines_.emplace_back();
    chars_ = 0;
    cursor_ = 0;
    parser_.reset();
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
    TerminalLine& line = lines_.back();
    const qsizetype length = line.text.size();
    const qsizetype n = piece.size();
    if (cursor_ == length) {
        line.text.append(piece);
        if (line.runs.isEmpty() || line.runs.last().style != style)
            line.runs.append(StyledRun{int(length), style});
        chars_ += n;
        cursor_ += n;
        return;
    }
    // The cursor was moved back (carriage return, backspace): overwrite, like a terminal.
    const qsizetype end = cursor_ + n;
    if (end <= length) {
        line.text.replace(cursor_, n, piece.data(), n);
    } else {
        line.text.truncate(cursor_);
        line.text.append(piece);
    }
    // Overwriting half of a character blanks the other half, as a terminal blanks the rest
    // of a wide cell; a lone surrogate would draw as garbage.
    QChar* text = line.text.data();
    if (cursor_ > 0 && text[cursor_ - 1].isHighSurrogate() && !text[cursor_].isLowSurrogate())
        text[cursor_ - 1] = QLatin1Char(' ');
    if (end < line.text.size() && text[end].isLowSurrogate() && !text[end - 1].isHighSurrogate())
        text[end] = QLatin1Char(' ');
    chars_ += line.text.size() - length;
    applyStyle(line.runs, line.text.size(), int(cursor_), int(end), style);
    cursor_ = end;
}

void TerminalBuffer::newLine() {
    TerminalLine& last = lines_.back();
    squeezeIfWasteful(last.text);
    squeezeIfWasteful(last.runs);
    TerminalLine next;
    next.rowsBefore = last.rowsBefore + rowsFor(last.text.size());
    lines_.push_back(std::move(next));
    cursor_ = 0;
    trim();
}

void TerminalBuffer::backspace() {
    if (cursor_ == 0)
        return;
    --cursor_;
    const QString& text = lines_.back().text;
    if (cursor_ > 0 && cursor_ < text.size() && text[cursor_].isLowSurrogate() &&
        text[cursor_ - 1].isHighSurrogate())
        --cursor_; // one character, not half of one
}

void TerminalBuffer::tab() {
    const qsizetype target = std::min((cursor_ / 8 + 1) * 8, limits_.maxLineChars);
    const qsizetype length = lines_.back().text.size();
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
    TerminalLine& line = lines_.back();
    const qsizetype length = line.text.size();
    switch (mode) {
    case 0:
        if (cursor_ < length) {
            line.text.truncate(cursor_);
            normalize(line.runs, cursor_);
            chars_ -= length - cursor_;
        }
        break;
    case 1: {
        const qsizetype n = std::min(cursor_ + 1, length);
        line.text.replace(0, n, QString(n, QLatin1Char(' ')));
        applyStyle(line.runs, length, 0, int(n), TextStyle{});
        break;
    }
    case 2:
        line.text = QString(std::min(cursor_, length), QLatin1Char(' '));
        line.runs.clear();
        if (!line.text.isEmpty())
            line.runs.append(StyledRun{0, TextStyle{}});
        chars_ += line.text.size() - length;
        break;
    default:
        break;
    }
}

void TerminalBuffer::trim() {
    while (lines_.size() > 1 &&
           (qsizetype(lines_.size()) > limits_.maxLines || chars_ > limits_.maxChars)) {
        chars_ -= lines_.front().text.size();
        lines_.pop_front();
        ++firstLineNumber_;
    }
}

void TerminalBuffer::setColumns(int columns) {
    columns = std::max(1, columns);
    if (columns == columns_)
        return;
    columns_ = columns;
    qint64 rows = 0;
    for (TerminalLine& line : lines_) {
        line.rowsBefore = rows;
        rows += rowsFor(line.text.size());
    }
}

qsizetype TerminalBuffer::shownLineCount() const {
    const qsizetype count = lineCount();
    return (count > 1 && lines_.back().text.isEmpty()) ? count - 1 : count;
}

qint64 TerminalBuffer::rowCount() const {
    const qsizetype last = shownLineCount() - 1;
    return firstRowOf(last) + rowsOf(last);
}

qsizetype TerminalBuffer::lineAtRow(qint64 row) const {
    const qint64 base = lines_.front().rowsBefore;
    const auto begin = lines_.begin();
    const auto end = begin + shownLineCount();
    // The first line that starts after `row`; the one before it holds the row.
    const auto after = std::upper_bound(begin, end, row, [base](qint64 r, const TerminalLine& l) {
        return r < l.rowsBefore - base;
    });
    return std::max<qsizetype>(0, (after - begin) - 1);
}

TextPosition TerminalBuffer::endPosition() const {
    return {firstLineNumber_ + lineCount() - 1, lines_.back().text.size()};
}

TextPosition TerminalBuffer::clamped(TextPosition position) const {
    if (position.line < firstLineNumber_)
        return {firstLineNumber_, 0};
    const TextPosition end = endPosition();
    if (position.line > end.line)
        return end;
    const qsizetype length = lines_[size_t(position.line - firstLineNumber_)].text.size();
    position.column = std::clamp<qsizetype>(position.column, 0, length);
    return position;
}

QString TerminalBuffer::text(TextPosition from, TextPosition to) const {
    from = clamped(from);
    to = clamped(to);
    if (to < from)
        std::swap(from, to);
    QString result;
    for (qint64 number = from.line; number <= to.line; ++number) {
        const QString& text = lines_[size_t(number - firstLineNumber_)].text;
        const qsizetype a = number == from.line ? from.column : 0;
        const qsizetype b = number == to.line ? to.column : text.size();
        result += QStringView(text).sliced(a, b - a);
        if (number != to.line)
            result += QLatin1Char('\n');
    }
    return result;
}
