#include "TerminalLayout.h"

#include <algorithm>

void TerminalLayout::follow() const {
    const qint64 first = buffer_->firstLineNumber();
    const qint64 settledEnd = first + buffer_->settledLineCount();
    if (firstNumber_ + qint64(rowsBefore_.size()) <= first) {
        rowsBefore_.clear(); // everything known was trimmed or skipped away
        firstNumber_ = first;
    }
    for (; firstNumber_ < first; ++firstNumber_)
        rowsBefore_.pop_front();
    for (qint64 number = firstNumber_ + qint64(rowsBefore_.size()); number < settledEnd; ++number) {
        rowsBefore_.push_back(settledRows_);
        settledRows_ += rowsFor(buffer_->line(qsizetype(number - first)).text.size());
    }
}

void TerminalLayout::setColumns(int columns) {
    columns = std::max(1, columns);
    if (columns == columns_)
        return;
    follow();
    columns_ = columns;
    qint64 rows = 0;
    for (size_t i = 0; i < rowsBefore_.size(); ++i) {
        rowsBefore_[i] = rows;
        rows += rowsOf(qsizetype(i));
    }
    settledRows_ = rows;
}

qint64 TerminalLayout::rowsBeforeScreenLine(qsizetype row) const {
    qint64 rows = settledRows_;
    const qsizetype settled = qsizetype(rowsBefore_.size());
    for (qsizetype i = 0; i < row; ++i)
        rows += rowsOf(settled + i);
    return rows;
}

qint64 TerminalLayout::firstRowOf(qsizetype index) const {
    follow();
    const qsizetype settled = qsizetype(rowsBefore_.size());
    return (index < settled ? rowsBefore_[size_t(index)] : rowsBeforeScreenLine(index - settled)) -
           origin();
}

qsizetype TerminalLayout::shownLineCount() const {
    const qsizetype count = buffer_->lineCount();
    return (count > 1 && buffer_->line(count - 1).text.isEmpty()) ? count - 1 : count;
}

qint64 TerminalLayout::rowCount() const {
    const qsizetype lastShown = shownLineCount() - 1;
    return firstRowOf(lastShown) + rowsOf(lastShown);
}

qsizetype TerminalLayout::lineAtRow(qint64 row) const {
    follow();
    // The first line that starts after `row`; the one before it holds the row. The screen's
    // few lines are counted one by one.
    const qsizetype shown = shownLineCount();
    const qsizetype settled = qsizetype(rowsBefore_.size());
    const qint64 at = row + origin();
    if (settled < shown && settledRows_ <= at) {
        qsizetype index = settled;
        for (qint64 rows = settledRows_; index < shown && rows <= at;)
            rows += rowsOf(index++);
        return std::max<qsizetype>(0, index - 1);
    }
    const auto after = std::upper_bound(rowsBefore_.begin(), rowsBefore_.end(), at);
    return std::max<qsizetype>(0, qsizetype(after - rowsBefore_.begin()) - 1);
}
