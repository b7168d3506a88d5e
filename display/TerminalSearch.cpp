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
    matches_.clear();
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

std::span<const TerminalSearch::Match> TerminalSearch::matchesIn(qint64 number) const {
    const auto lineOf = [](const Match& m) { return m.line; };
    const auto from = std::ranges::lower_bound(matches_, number, {}, lineOf);
    const auto to = std::ranges::upper_bound(from, matches_.end(), number, {}, lineOf);
    return {from, to};
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
    const auto kept = std::ranges::lower_bound(matches_, first, {}, &Match::line);
    const qsizetype dropped = kept - matches_.begin();
    if (dropped == 0)
        return;
    matches_.remove(0, dropped);
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
    bool found = false;
    for (qsizetype at = next(0); at >= 0; at = next(at + length)) {
        matches_.append(Match{number, at});
        found = true;
    }
    return found;
}

void TerminalSearch::searchSlice() {
    dropTrimmed();
    bool changed = false;
    // What was found on the screen may no longer be there.
    const auto open = std::ranges::lower_bound(matches_, nextLine_, {}, &Match::line);
    if (open != matches_.end()) {
        matches_.erase(open, matches_.end());
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
    if (matches_.isEmpty())
        return;
    const auto after = std::ranges::upper_bound(matches_, near_);
    current_ = after == matches_.begin() ? 0 : (after - matches_.begin()) - 1;
    Q_EMIT currentChanged();
}
