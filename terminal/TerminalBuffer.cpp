#include "TerminalBuffer.h"

#include <QChar>

#include <algorithm>
#include <bit>
#include <utility>

namespace {
// The cells a character takes on a terminal: two for East Asian wide and full-width characters
// and emoji shown as pictures, none for combining marks and format characters.
int cellWidth(char32_t c) {
    if (c < 0x300)
        return 1;
    static constexpr std::pair<char32_t, char32_t> wide[] = {
        {0x1100, 0x115f},   {0x231a, 0x231b},   {0x2329, 0x232a},   {0x23e9, 0x23ec},
        {0x23f0, 0x23f0},   {0x23f3, 0x23f3},   {0x25fd, 0x25fe},   {0x2614, 0x2615},
        {0x2648, 0x2653},   {0x267f, 0x267f},   {0x2693, 0x2693},   {0x26a1, 0x26a1},
        {0x26aa, 0x26ab},   {0x26bd, 0x26be},   {0x26c4, 0x26c5},   {0x26ce, 0x26ce},
        {0x26d4, 0x26d4},   {0x26ea, 0x26ea},   {0x26f2, 0x26f3},   {0x26f5, 0x26f5},
        {0x26fa, 0x26fa},   {0x26fd, 0x26fd},   {0x2705, 0x2705},   {0x270a, 0x270b},
        {0x2728, 0x2728},   {0x274c, 0x274c},   {0x274e, 0x274e},   {0x2753, 0x2755},
        {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27b0, 0x27b0},   {0x27bf, 0x27bf},
        {0x2b1b, 0x2b1c},   {0x2b50, 0x2b50},   {0x2b55, 0x2b55},   {0x2e80, 0x303e},
        {0x3041, 0x33ff},   {0x3400, 0x4dbf},   {0x4e00, 0x9fff},   {0xa000, 0xa4cf},
        {0xa960, 0xa97f},   {0xac00, 0xd7a3},   {0xf900, 0xfaff},   {0xfe10, 0xfe19},
        {0xfe30, 0xfe6f},   {0xff00, 0xff60},   {0xffe0, 0xffe6},   {0x16fe0, 0x16fe4},
        {0x17000, 0x18aff}, {0x1b000, 0x1b2ff}, {0x1f004, 0x1f004}, {0x1f0cf, 0x1f0cf},
        {0x1f18e, 0x1f18e}, {0x1f191, 0x1f19a}, {0x1f200, 0x1f202}, {0x1f210, 0x1f23b},
        {0x1f240, 0x1f248}, {0x1f250, 0x1f251}, {0x1f260, 0x1f265}, {0x1f300, 0x1f320},
        {0x1f32d, 0x1f335}, {0x1f337, 0x1f37c}, {0x1f37e, 0x1f393}, {0x1f3a0, 0x1f3ca},
        {0x1f3cf, 0x1f3d3}, {0x1f3e0, 0x1f3f0}, {0x1f3f4, 0x1f3f4}, {0x1f3f8, 0x1f43e},
        {0x1f440, 0x1f440}, {0x1f442, 0x1f4fc}, {0x1f4ff, 0x1f53d}, {0x1f54b, 0x1f54e},
        {0x1f550, 0x1f567}, {0x1f57a, 0x1f57a}, {0x1f595, 0x1f596}, {0x1f5a4, 0x1f5a4},
        {0x1f5fb, 0x1f64f}, {0x1f680, 0x1f6c5}, {0x1f6cc, 0x1f6cc}, {0x1f6d0, 0x1f6d2},
        {0x1f6d5, 0x1f6d7}, {0x1f6dc, 0x1f6df}, {0x1f6eb, 0x1f6ec}, {0x1f6f4, 0x1f6fc},
        {0x1f7e0, 0x1f7eb}, {0x1f7f0, 0x1f7f0}, {0x1f90c, 0x1f93a}, {0x1f93c, 0x1f945},
        {0x1f947, 0x1f9ff}, {0x1fa70, 0x1faff}, {0x20000, 0x2fffd}, {0x30000, 0x3fffd},
    };
    const auto range = std::upper_bound(std::begin(wide), std::end(wide), c,
                                        [](char32_t v, const auto& r) { return v < r.first; });
    if (range != std::begin(wide) && c <= (range - 1)->second)
        return 2;
    const auto category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing ||
        category == QChar::Other_Format)
        return 0;
    return 1;
}

char32_t codeAt(QStringView text, qsizetype i, qsizetype* units) {
    const char16_t c = text[i].unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
        *units = 2;
        return QChar::surrogateToUcs4(c, text[i + 1].unicode());
    }
    *units = 1;
    return c;
}

qsizetype unitsAt(const std::u16string& text, qsizetype i) {
    qsizetype units = 1;
    if (i < qsizetype(text.size()))
        codeAt(QStringView(text.data(), qsizetype(text.size())), i, &units);
    return units;
}

// The index `cells` cells into `text`; past its end, one unit a blank cell. `inside` tells
// that the cell is the right half of the wide character at the index.
qsizetype indexAtCell(QStringView text, qsizetype cells, bool* inside) {
    *inside = false;
    qsizetype at = 0;
    for (qsizetype i = 0, units = 1; i < text.size(); i += units) {
        const int width = cellWidth(codeAt(text, i, &units));
        if (width == 0)
            continue; // belongs to the cell before it
        if (at == cells)
            return i;
        if (width == 2 && at + 1 == cells) {
            *inside = true;
            return i;
        }
        at += width;
    }
    return text.size() + std::max<qsizetype>(0, cells - at);
}

qsizetype cellsBefore(QStringView text, qsizetype index) {
    qsizetype cells = 0;
    const qsizetype end = std::min(index, text.size());
    for (qsizetype i = 0, units = 1; i < end; i += units)
        cells += cellWidth(codeAt(text, i, &units));
    return cells + std::max<qsizetype>(0, index - text.size());
}

qsizetype cellsOf(QStringView text) {
    return cellsBefore(text, text.size());
}

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

void spliceRuns(QList<StyledRun>& runs, qsizetype lineLength, int from, int to, int count,
                const TextStyle& style) {
    const auto startsBefore = [](const StyledRun& run, int column) { return run.start < column; };
    // The style in effect at `to` carries on after the new run.
    auto atTo = std::lower_bound(runs.begin(), runs.end(), to + 1, startsBefore);
    const bool hasAfter = to < lineLength && atTo != runs.begin();
    const TextStyle after = hasAfter ? (atTo - 1)->style : TextStyle{};

    const auto first = std::lower_bound(runs.begin(), runs.end(), from, startsBefore);
    const qsizetype at = first - runs.begin();
    runs.remove(at, atTo - first);
    const int shift = count - (to - from);
    if (shift != 0)
        for (qsizetype i = at; i < runs.size(); ++i)
            runs[i].start += shift;
    qsizetype next = at;
    if (count > 0)
        runs.insert(next++, StyledRun{from, style});
    if (hasAfter)
        runs.insert(next, StyledRun{from + count, after});
    normalize(runs, lineLength + shift);
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
    void* block = HugePages::allocate(size_t(std::max(capacity, nextItems_)) * sizeof(T), &bytes);
    nextItems_ = std::min(nextItems_ * 2, ChunkItems);
    // The items are written before they are read, and need no construction.
    return Chunk{ChunkData(static_cast<T*>(block)), qsizetype(bytes / sizeof(T)), 0};
}

template <typename T, qsizetype ChunkItems>
T* TerminalBuffer::Arena<T, ChunkItems>::begin(qint64& serial) {
    if (chunks_.empty())
        chunks_.push_back(make(0));
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
    setScreenRows(MinScreenRows);
    pushLine();
}

TerminalBuffer::~TerminalBuffer() = default;

void TerminalBuffer::setScreenRows(int rows) {
    const qsizetype most = std::min<qsizetype>(MaxScreenRows, limits_.maxLines);
    screenRows_ = int(std::clamp<qsizetype>(std::max(rows, MinScreenRows), 1, most));
    if (size_t(screenRows_) > screen_.size())
        resizeScreen(qsizetype(std::bit_ceil(size_t(screenRows_))));
    const qsizetype at = column();
    while (screenCount_ > screenRows_)
        commitTop();
    if (row_ < 0) { // the cursor's line went up with the rest: it stays on the top row
        row_ = 0;
        setColumn(at);
    }
}

void TerminalBuffer::resizeScreen(qsizetype size) {
    std::vector<ScreenLine> bigger(static_cast<size_t>(size));
    for (qsizetype row = 0; row < screenCount_; ++row)
        bigger[size_t(row)] = std::move(screenLine(row));
    screen_.swap(bigger);
    screenHead_ = 0;
}

void TerminalBuffer::commitTop() {
    const ScreenLine& top = screenLine(0);
    if (size_t(count_) == ring_.size()) {
        decltype(ring_) bigger(ring_.size() * 2);
        for (qsizetype i = 0; i < count_; ++i)
            bigger[size_t(i)] = record(i);
        ring_.swap(bigger);
        head_ = 0;
    }
    ++count_;
    Record& line = ring_[size_t(head_ + count_ - 1) & (ring_.size() - 1)];
    line = Record{};
    line.length = qsizetype(top.text.size());
    line.text = text_.begin(line.textChunk);
    line.text = text_.reserve(line.text, 0, line.length, line.textChunk);
    std::copy_n(top.text.data(), line.length, line.text);
    text_.setEnd(line.text, line.length);
    line.runCount = top.runs.size();
    line.runs = runs_.begin(line.runChunk);
    line.runs = runs_.reserve(line.runs, 0, line.runCount, line.runChunk);
    std::copy_n(top.runs.constData(), line.runCount, line.runs);
    runs_.setEnd(line.runs, line.runCount);
    screenHead_ = qsizetype(size_t(screenHead_ + 1) & (screen_.size() - 1));
    --screenCount_;
    --row_;
}

void TerminalBuffer::pushLine() {
    if (screenCount_ >= screenRows_)
        commitTop();
    ++screenCount_;
    ScreenLine& line = screenLine(screenCount_ - 1);
    line.text.clear(); // storage kept for the new line
    line.runs.clear();
}

TerminalLine TerminalBuffer::line(qsizetype index) const {
    if (index >= count_) {
        const ScreenLine& l = screenLine(index - count_);
        return {QStringView(l.text.data(), qsizetype(l.text.size())),
                std::span<const StyledRun>(l.runs.constData(), size_t(l.runs.size()))};
    }
    const Record& r = record(index);
    return {QStringView(r.text, r.length), std::span<const StyledRun>(r.runs, size_t(r.runCount))};
}

void TerminalBuffer::skip(const AnsiParser& state, qint64 lineBreaks) {
    const qint64 lastNumber = firstLineNumber_ + lineCount() - 1;
    text_.clear();
    runs_.clear();
    count_ = 0;
    head_ = 0;
    screenCount_ = 0;
    chars_ = 0;
    firstLineNumber_ = lastNumber + lineBreaks;
    parser_ = state;
    pushLine();
    row_ = 0;
    cursor_ = 0;
    halfCell_ = false;
}

qsizetype TerminalBuffer::column() const {
    const ScreenLine& line = screenLine(row_);
    return cellsBefore(QStringView(line.text.data(), qsizetype(line.text.size())), cursor_) +
           (halfCell_ ? 1 : 0);
}

void TerminalBuffer::setColumn(qsizetype cells) {
    const ScreenLine& line = screenLine(row_);
    cells = std::clamp<qsizetype>(cells, 0, limits_.maxLineChars);
    cursor_ =
        indexAtCell(QStringView(line.text.data(), qsizetype(line.text.size())), cells, &halfCell_);
}

void TerminalBuffer::splice(ScreenLine& line, qsizetype from, qsizetype to, QStringView with,
                            const TextStyle& style) {
    const qsizetype length = qsizetype(line.text.size());
    line.text.replace(size_t(from), size_t(to - from), with.utf16(), size_t(with.size()));
    spliceRuns(line.runs, length, int(from), int(to), int(with.size()), style);
    chars_ += with.size() - (to - from);
}

void TerminalBuffer::clearLine(ScreenLine& line) {
    chars_ -= qsizetype(line.text.size());
    line.text.clear();
    line.runs.clear();
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
    ScreenLine& line = current();
    const qsizetype length = qsizetype(line.text.size());
    if (cursor_ >= length && !halfCell_) {
        // At the end, the usual case: appended, after blanks where the cursor moved beyond it.
        if (cursor_ > length) {
            line.text.append(size_t(cursor_ - length), u' ');
            if (line.runs.isEmpty() || !line.runs.last().style.isDefault())
                line.runs.append(StyledRun{int(length), TextStyle{}});
        }
        line.text.append(piece.utf16(), size_t(piece.size()));
        if (line.runs.isEmpty() || line.runs.last().style != style)
            line.runs.append(StyledRun{int(cursor_), style});
        chars_ += cursor_ + piece.size() - length;
        cursor_ += piece.size();
        return;
    }
    // Over text: the cells the piece takes are replaced, like a terminal. Writing over half of
    // a wide character blanks its other half.
    qsizetype from = cursor_;
    if (halfCell_) {
        splice(line, from, from + unitsAt(line.text, from), u"  ");
        ++from;
        halfCell_ = false;
    }
    const QStringView rest(line.text.data() + from, qsizetype(line.text.size()) - from);
    bool inside = false;
    qsizetype to = from + indexAtCell(rest, cellsOf(piece), &inside);
    if (inside) {
        splice(line, to, to + unitsAt(line.text, to), u"  ");
        ++to;
    }
    splice(line, from, std::min(to, qsizetype(line.text.size())), piece, style);
    cursor_ = from + piece.size();
}

void TerminalBuffer::newLine() {
    if (row_ + 1 < screenCount_) {
        ++row_;
    } else {
        pushLine();
        row_ = screenCount_ - 1;
    }
    cursor_ = 0;
    halfCell_ = false;
    trim();
}

void TerminalBuffer::carriageReturn() {
    cursor_ = 0;
    halfCell_ = false;
}

void TerminalBuffer::tab() {
    setColumn((column() / 8 + 1) * 8);
}

void TerminalBuffer::toRow(qsizetype row) {
    row = std::clamp<qsizetype>(row, 0, screenRows_ - 1);
    // Rows below the last line are blank ones of the screen, made when the cursor gets there.
    while (screenCount_ <= row)
        pushLine();
    row_ = row;
    trim();
}

void TerminalBuffer::moveCursor(Move move, int amount) {
    const qsizetype at = column();
    switch (move) {
    case Move::Up:
        row_ = std::max<qsizetype>(0, row_ - amount);
        setColumn(at);
        break;
    case Move::Down:
        toRow(row_ + amount);
        setColumn(at);
        break;
    case Move::Forward:
        setColumn(at + amount);
        break;
    case Move::Back:
        setColumn(std::max<qsizetype>(0, at - amount));
        break;
    case Move::ToColumn:
        setColumn(amount);
        break;
    case Move::ToRow:
        toRow(amount);
        setColumn(at);
        break;
    }
}

void TerminalBuffer::blankCells(qsizetype from, qsizetype to) {
    ScreenLine& line = current();
    const QStringView text(line.text.data(), qsizetype(line.text.size()));
    bool inside = false;
    const qsizetype a = indexAtCell(text, from, &inside);
    qsizetype b = indexAtCell(text, to, &inside);
    if (inside)
        b += unitsAt(line.text, b);
    b = std::min(b, text.size());
    if (a >= b)
        return;
    const qsizetype cells = cellsBefore(text, b) - cellsBefore(text, a);
    splice(line, a, b, QString(cells, u' '));
}

void TerminalBuffer::eraseInLine(int mode) {
    ScreenLine& line = current();
    const qsizetype at = column();
    switch (mode) {
    case 0:
        // Blanks at the end of a line are no text: the line ends where the erasing starts.
        if (halfCell_)
            blankCells(at - 1, at + 1);
        splice(line, std::min(cursor_ + (halfCell_ ? 1 : 0), qsizetype(line.text.size())),
               qsizetype(line.text.size()), {});
        break;
    case 1:
        blankCells(0, at + 1);
        break;
    case 2:
        clearLine(line);
        break;
    default:
        break;
    }
    setColumn(at);
}

void TerminalBuffer::eraseInDisplay(int mode) {
    const qsizetype at = column();
    if (mode == 2) {
        // Clearing the screen keeps what it showed: its lines go to the scrollback, and the
        // cursor stays where it was on the now blank screen.
        const qsizetype row = row_;
        qsizetype used = screenCount_;
        while (used > 0 && screenLine(used - 1).text.empty())
            --used;
        for (; used > 0; --used)
            commitTop();
        toRow(row);
        setColumn(at);
        return;
    }
    if (mode == 0)
        for (qsizetype row = row_ + 1; row < screenCount_; ++row)
            clearLine(screenLine(row));
    if (mode == 1)
        for (qsizetype row = 0; row < row_; ++row)
            clearLine(screenLine(row));
    eraseInLine(mode);
    setColumn(at);
}

void TerminalBuffer::editChars(CharEdit edit, int count) {
    ScreenLine& line = current();
    const qsizetype at = column();
    const qsizetype length = qsizetype(line.text.size());
    switch (edit) {
    case CharEdit::Erase:
        blankCells(at, at + count);
        break;
    case CharEdit::Insert:
        if (halfCell_)
            blankCells(at - 1, at + 1);
        setColumn(at);
        if (cursor_ < qsizetype(line.text.size()))
            splice(line, cursor_, cursor_, QString(count, u' '));
        break;
    case CharEdit::Delete: {
        if (cursor_ >= length)
            break;
        blankCells(at - (halfCell_ ? 1 : 0), at + count); // no half characters at the edges
        setColumn(at);
        const QStringView text(line.text.data(), qsizetype(line.text.size()));
        bool inside = false;
        const qsizetype end = std::min(indexAtCell(text, at + count, &inside), text.size());
        splice(line, cursor_, end, {});
        break;
    }
    }
    setColumn(at);
}

void TerminalBuffer::saveCursor() {
    savedRow_ = row_;
    savedColumn_ = column();
}

void TerminalBuffer::restoreCursor() {
    toRow(savedRow_);
    setColumn(savedColumn_);
}

quint16 TerminalBuffer::hyperlink(QStringView uri) {
    if (uri.isEmpty())
        return 0;
    const QString scheme = uri.left(uri.indexOf(u':')).toString().toLower();
    if (scheme != u"http" && scheme != u"https" && scheme != u"mailto")
        return 0;
    if (lastLink_ != 0 && links_[lastLink_ % KeptLinks].second == uri)
        return lastLink_; // the same link, drawn again
    lastLink_ = lastLink_ == 0xffff ? 1 : lastLink_ + 1;
    links_[lastLink_ % KeptLinks] = {lastLink_, uri.toString()};
    return lastLink_;
}

QString TerminalBuffer::link(quint16 number) const {
    const auto& [kept, uri] = links_[number % KeptLinks];
    return number != 0 && kept == number ? uri : QString();
}

void TerminalBuffer::trim() {
    bool dropped = false;
    while (lineCount() > 1 && (lineCount() > limits_.maxLines || chars_ > limits_.maxChars)) {
        if (count_ > 0) {
            chars_ -= record(0).length;
            head_ = qsizetype(size_t(head_ + 1) & (ring_.size() - 1));
            --count_;
            dropped = true;
        } else if (row_ > 0) {
            // Lines of the screen above the cursor go too rather than break the bound.
            clearLine(screenLine(0));
            screenHead_ = qsizetype(size_t(screenHead_ + 1) & (screen_.size() - 1));
            --screenCount_;
            --row_;
        } else {
            break;
        }
        ++firstLineNumber_;
    }
    if (dropped && count_ > 0) {
        text_.releaseBefore(record(0).textChunk);
        runs_.releaseBefore(record(0).runChunk);
    }
}

TextPosition TerminalBuffer::endPosition() const {
    return {firstLineNumber_ + lineCount() - 1, line(lineCount() - 1).text.size()};
}

TextPosition TerminalBuffer::clamped(TextPosition position) const {
    if (position.line < firstLineNumber_)
        return {firstLineNumber_, 0};
    const TextPosition end = endPosition();
    if (position.line > end.line)
        return end;
    const qsizetype length = line(qsizetype(position.line - firstLineNumber_)).text.size();
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
        result.reserve(chars_ + lineCount());
    for (qint64 number = from.line; number <= to.line; ++number) {
        const QStringView text = line(qsizetype(number - firstLineNumber_)).text;
        const qsizetype a = number == from.line ? from.column : 0;
        const qsizetype b = number == to.line ? to.column : text.size();
        result += text.sliced(a, b - a);
        if (number != to.line)
            result += QLatin1Char('\n');
    }
    return result;
}
