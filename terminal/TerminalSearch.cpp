#include "TerminalSearch.h"

#include <algorithm>

namespace {
char16_t asciiFolded(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
}

// The next match at or after `from` regardless of case, as QStringView::indexOf finds it, but
// without folding every character: only where the first character could match is the rest
// compared, and that takes a plain comparison for all but non-ASCII text.
qsizetype indexOfAnyCase(QStringView text, QStringView pattern, qsizetype from) {
    const char16_t first = char16_t(QChar::toCaseFolded(pattern.front().unicode()));
    const char16_t* data = text.utf16();
    for (qsizetype i = from, last = text.size() - pattern.size(); i <= last; ++i) {
        const char16_t c = data[i];
        if ((c >= 128 || asciiFolded(c) == first) &&
            text.sliced(i, pattern.size()).compare(pattern, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}
} // namespace

TerminalSearch::TerminalSearch(const TerminalBuffer* buffer, QObject* parent)
    : QObject(parent), buffer_(buffer) {
    slice_.setSingleShot(true);
    slice_.setInterval(0);
    connect(&slice_, &QTimer::timeout, this, &TerminalSearch::searchSlice);
}

void TerminalSearch::setPattern(const QString& pattern, Qt::CaseSensitivity sensitivity,
                                TextPosition near) {
    const bool hadCurrent = current_ >= 0;
    pattern_ = pattern;
    sensitivity_ = sensitivity;
    near_ = near;
    // Not clear(), which keeps the capacity: the memory goes back when the pattern changes or
    // the bar closes.
    found_ = QList<Found>();
    total_ = dropped_ = 0;
    current_ = -1;
    nextLine_ = buffer_->firstLineNumber();
    searching_ = !pattern_.isEmpty();
    slice_.stop();
    Q_EMIT matchesChanged();
    if (hadCurrent)
        Q_EMIT currentChanged();
    if (searching_)
        slice_.start();
}

QList<TerminalSearch::Match> TerminalSearch::matches() const {
    QList<Match> all;
    for (const Found& found : found_)
        all += matchesIn(found.line);
    return all;
}

TerminalSearch::Match TerminalSearch::match(qsizetype index) const {
    // The last line whose first match is at or before the index.
    const auto found = std::ranges::upper_bound(found_, index + dropped_, {}, &Found::before) - 1;
    const qsizetype nth = index + dropped_ - found->before;
    const QList<qsizetype> columns = columnsIn(found->line, nth + 1);
    // The open last line may have changed since it was counted.
    return {found->line, columns.isEmpty() ? 0 : columns.last()};
}

QList<TerminalSearch::Match> TerminalSearch::matchesIn(qint64 number) const {
    QList<Match> in;
    if (!std::ranges::binary_search(found_, number, {}, &Found::line))
        return in;
    for (qsizetype column : columnsIn(number))
        in.append({number, column});
    return in;
}

QList<qsizetype> TerminalSearch::columnsIn(qint64 number, qsizetype limit) const {
    QList<qsizetype> columns;
    const qsizetype index = qsizetype(number - buffer_->firstLineNumber());
    if (pattern_.isEmpty() || index < 0 || index >= buffer_->lineCount())
        return columns;
    const QStringView text = buffer_->line(index).text;
    const qsizetype length = pattern_.size();
    const auto next = [&](qsizetype from) {
        return sensitivity_ == Qt::CaseSensitive ? text.indexOf(pattern_, from)
                                                 : indexOfAnyCase(text, pattern_, from);
    };
    for (qsizetype at = next(0); at >= 0 && columns.size() != limit; at = next(at + length))
        columns.append(at);
    return columns;
}

void TerminalSearch::step(int direction) {
    const qsizetype count = matchCount();
    if (count == 0)
        return;
    if (current_ < 0)
        current_ = direction > 0 ? 0 : count - 1;
    else
        current_ = (current_ + direction + count) % count;
    Q_EMIT currentChanged();
}

void TerminalSearch::bufferChanged() {
    if (pattern_.isEmpty())
        return;
    dropTrimmed();
    if (!slice_.isActive())
        slice_.start();
}

void TerminalSearch::dropTrimmed() {
    const qint64 first = buffer_->firstLineNumber();
    nextLine_ = std::max(nextLine_, first);
    const auto kept = std::ranges::lower_bound(found_, first, {}, &Found::line);
    const qsizetype lines = kept - found_.begin();
    if (lines == 0)
        return;
    const qsizetype dropped = (kept == found_.end() ? total_ : kept->before) - dropped_;
    dropped_ += dropped;
    found_.remove(0, lines);
    const bool lostCurrent = current_ >= 0 && current_ < dropped;
    current_ = current_ < 0 || lostCurrent ? -1 : current_ - dropped;
    Q_EMIT matchesChanged();
    if (lostCurrent)
        Q_EMIT currentChanged();
}

bool TerminalSearch::searchLine(qint64 number) {
    const QStringView text = buffer_->line(qsizetype(number - buffer_->firstLineNumber())).text;
    const qsizetype length = pattern_.size();
    const auto next = [&](qsizetype from) {
        return sensitivity_ == Qt::CaseSensitive ? text.indexOf(pattern_, from)
                                                 : indexOfAnyCase(text, pattern_, from);
    };
    qsizetype count = 0;
    for (qsizetype at = next(0); at >= 0; at = next(at + length))
        ++count;
    if (count > 0) {
        found_.append({number, total_});
        total_ += count;
    }
    return count > 0;
}

void TerminalSearch::searchSlice() {
    dropTrimmed();
    bool changed = false;
    // What was found on the screen may no longer be there.
    const auto open = std::ranges::lower_bound(found_, nextLine_, {}, &Found::line);
    if (open != found_.end()) {
        total_ = open->before;
        found_.erase(open, found_.end());
        changed = true;
    }
    clock_.start();
    const qint64 first = buffer_->firstLineNumber();
    const qint64 settled = first + buffer_->settledLineCount();
    // The clock is read every 64 Ki characters or so: long lines count by their length.
    for (qsizetype work = 0; nextLine_ < settled;) {
        work += buffer_->line(qsizetype(nextLine_ - first)).text.size() + 1024;
        changed = searchLine(nextLine_++) || changed;
        if (work < 64 * 1024)
            continue;
        work = 0;
        if (clock_.elapsed() >= SliceMs) {
            slice_.start(); // the rest on a later turn, after whatever else is waiting
            if (changed)
                Q_EMIT matchesChanged();
            return;
        }
    }
    for (qint64 number = nextLine_; number < first + buffer_->lineCount(); ++number)
        changed = searchLine(number) || changed;
    if (current_ >= matchCount())
        current_ = matchCount() - 1;
    if (changed)
        Q_EMIT matchesChanged();
    if (searching_) {
        searching_ = false;
        pickCurrent();
        Q_EMIT finished();
    }
}

void TerminalSearch::pickCurrent() {
    if (matchCount() == 0)
        return;
    // The matches before near_'s line, then those in it at or before near_.
    const auto line = std::ranges::lower_bound(found_, near_.line, {}, &Found::line);
    qsizetype before = (line == found_.end() ? total_ : line->before) - dropped_;
    if (line != found_.end() && line->line == near_.line)
        for (const qsizetype column : columnsIn(near_.line))
            before += column <= near_.column ? 1 : 0;
    current_ = std::max<qsizetype>(before - 1, 0);
    Q_EMIT currentChanged();
}
