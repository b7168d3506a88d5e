#pragma once

#include "TerminalBuffer.h"

#include <deque>

// How a view lays a buffer's lines out in rows of a fixed number of columns: the view's own
// width, which the buffer never learns. Rows are counted over the lines that are shown: all of
// them, except the last one while it is still empty (the cursor waiting at the start of a new
// line). The rows before each scrollback line are kept, as such a line never changes again, so
// the row of any line is found by binary search and a new width costs one pass over the line
// lengths; the screen's few lines are counted on each question. The layout follows the buffer
// by its line numbers: lines that left the screen since the last question are taken in, and
// trimmed ones dropped, whenever it is asked.
class TerminalLayout final {
public:
    explicit TerminalLayout(const TerminalBuffer* buffer) : buffer_(buffer) {}
    Q_DISABLE_COPY_MOVE(TerminalLayout)
    ~TerminalLayout() = default;

    void setColumns(int columns);
    int columns() const { return columns_; }
    qsizetype shownLineCount() const;
    qint64 rowCount() const;
    qint64 rowsOf(qsizetype index) const { return rowsFor(buffer_->line(index).text.size()); }
    qint64 firstRowOf(qsizetype index) const;
    // The index of the line that holds wrapped row `row` (clamped to the shown lines).
    qsizetype lineAtRow(qint64 row) const;

private:
    qint64 rowsFor(qsizetype length) const {
        return length == 0 ? 1 : (length + columns_ - 1) / columns_;
    }
    // Takes in the lines settled and drops the lines trimmed since the last call.
    void follow() const;
    qint64 origin() const { return rowsBefore_.empty() ? settledRows_ : rowsBefore_.front(); }
    // The rows before the screen's line `row`, from the same origin as rowsBefore_.
    qint64 rowsBeforeScreenLine(qsizetype row) const;

    const TerminalBuffer* buffer_;
    int columns_ = 80;
    // The rows before each scrollback line known, from an arbitrary origin, and after the last.
    mutable std::deque<qint64> rowsBefore_;
    mutable qint64 firstNumber_ = 0; // the line number of rowsBefore_.front()
    mutable qint64 settledRows_ = 0;
};
