#include "TerminalAccessible.h"

#include "CharacterText.h"
#include "TerminalView.h"

#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace {
QAccessibleInterface* createFor(const QString& className, QObject* object) {
    if (className == QLatin1String("TerminalView"))
        if (auto* view = qobject_cast<TerminalView*>(object))
            return new TerminalAccessible(view);
    return nullptr;
}
} // namespace

TerminalAccessible::TerminalAccessible(TerminalView* view)
    : QAccessibleWidget(view, QAccessible::Terminal) {
    announced_ = buffer().endPosition(); // what was there before anyone listened is no news
    announceTimer_.setSingleShot(true);
    announceTimer_.setInterval(AnnounceIntervalMs);
    QObject::connect(&announceTimer_, &QTimer::timeout, &announceTimer_, [this] { announce(); });
}

void TerminalAccessible::installFactory() {
    static const bool installed = [] {
        QAccessible::installFactory(createFor);
        return true;
    }();
    Q_UNUSED(installed);
}

void TerminalAccessible::outputChanged(TerminalView* view) {
    if (!QAccessible::isActive())
        return; // nobody listens: no interface, no work
    auto* self = dynamic_cast<TerminalAccessible*>(QAccessible::queryAccessibleInterface(view));
    if (self && !self->announceTimer_.isActive())
        self->announceTimer_.start();
}

TerminalView* TerminalAccessible::view() const {
    return static_cast<TerminalView*>(widget());
}

const TerminalBuffer& TerminalAccessible::buffer() const {
    return view()->buffer();
}

void* TerminalAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State TerminalAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
}

void TerminalAccessible::updateLineStarts() const {
    const TerminalBuffer& lines = buffer();
    const qint64 first = lines.firstLineNumber();
    const qint64 end = first + lines.lineCount();
    if (lineStarts_.empty() || first >= firstStartLine_ + qint64(lineStarts_.size())) {
        lineStarts_.assign(1, 0); // everything known was trimmed or cleared away
        firstStartLine_ = first;
    }
    for (; firstStartLine_ < first; ++firstStartLine_)
        lineStarts_.pop_front();
    // Lines above the screen are complete, so the starts up to the first screen line's are
    // final; the screen's are worked out again.
    const qint64 settled = first + lines.settledLineCount();
    if (firstStartLine_ + qint64(lineStarts_.size()) > settled + 1)
        lineStarts_.resize(size_t(settled + 1 - firstStartLine_));
    for (qint64 number = firstStartLine_ + qint64(lineStarts_.size()); number < end; ++number)
        lineStarts_.push_back(lineStarts_.back() +
                              CharacterText::count(lines.line(qsizetype(number - 1 - first)).text) +
                              1);
}

int TerminalAccessible::offsetOf(TextPosition position) const {
    updateLineStarts();
    position = buffer().clamped(position);
    const QStringView line = buffer().line(qsizetype(position.line - firstStartLine_)).text;
    return int(lineStarts_[size_t(position.line - firstStartLine_)] - lineStarts_.front() +
               CharacterText::count(line.first(position.column)));
}

TextPosition TerminalAccessible::positionOf(int offset) const {
    updateLineStarts();
    const qint64 at = lineStarts_.front() + std::clamp(offset, 0, characterCount());
    const auto after = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), at);
    const qsizetype index = (after - lineStarts_.begin()) - 1;
    return {firstStartLine_ + index,
            CharacterText::units(buffer().line(index).text,
                                 qsizetype(at - lineStarts_[size_t(index)]))};
}

int TerminalAccessible::characterCount() const {
    updateLineStarts();
    return int(lineStarts_.back() - lineStarts_.front() +
               CharacterText::count(buffer().line(buffer().lineCount() - 1).text));
}

QString TerminalAccessible::text(int startOffset, int endOffset) const {
    if (endOffset < 0)
        endOffset = characterCount();
    if (startOffset >= endOffset)
        return {};
    return buffer().text(positionOf(startOffset), positionOf(endOffset));
}

void TerminalAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || !view()->hasSelection())
        return;
    const int anchor = offsetOf(view()->selectionAnchor());
    const int cursor = offsetOf(view()->selectionCursor());
    *startOffset = std::min(anchor, cursor);
    *endOffset = std::max(anchor, cursor);
}

int TerminalAccessible::selectionCount() const {
    return view()->hasSelection() ? 1 : 0;
}

void TerminalAccessible::addSelection(int startOffset, int endOffset) {
    setSelection(0, startOffset, endOffset); // one selection at most
}

void TerminalAccessible::removeSelection(int selectionIndex) {
    if (selectionIndex == 0)
        view()->clearSelection();
}

void TerminalAccessible::setSelection(int selectionIndex, int startOffset, int endOffset) {
    if (selectionIndex == 0)
        view()->setSelection(positionOf(startOffset), positionOf(endOffset));
}

int TerminalAccessible::cursorPosition() const {
    return offsetOf(view()->selectionCursor());
}

void TerminalAccessible::setCursorPosition(int position) {
    const TextPosition at = positionOf(position);
    view()->setSelection(at, at);
}

QString TerminalAccessible::textNear(CharacterText::Side side, int offset,
                                     QAccessible::TextBoundaryType boundaryType, int* startOffset,
                                     int* endOffset) const {
    const int count = characterCount();
    if (offset == -1)
        offset = count;
    else if (offset == -2)
        offset = cursorPosition();
    if (boundaryType == QAccessible::NoBoundary || offset < 0 || offset > count) {
        *startOffset = boundaryType == QAccessible::NoBoundary ? 0 : -1;
        *endOffset = boundaryType == QAccessible::NoBoundary ? count : -1;
        return boundaryType == QAccessible::NoBoundary ? text(0, count) : QString();
    }
    // The line with the offset and its neighbours are enough for any boundary but the whole.
    const TextPosition at = positionOf(offset);
    const qint64 first = buffer().firstLineNumber();
    const qint64 last = first + buffer().lineCount() - 1;
    const TextPosition from{std::max(first, at.line - 1), 0};
    const TextPosition to{std::min(last, at.line + 1), std::numeric_limits<qsizetype>::max()};
    const int base = offsetOf(from);
    const QString result = CharacterText(buffer().text(from, to))
                               .near(side, offset - base, boundaryType, cursorPosition() - base,
                                     startOffset, endOffset);
    for (int* bound : {startOffset, endOffset})
        if (*bound >= 0)
            *bound += base;
    return result;
}

QString TerminalAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType type,
                                             int* startOffset, int* endOffset) const {
    return textNear(CharacterText::Side::Before, offset, type, startOffset, endOffset);
}

QString TerminalAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType type,
                                            int* startOffset, int* endOffset) const {
    return textNear(CharacterText::Side::After, offset, type, startOffset, endOffset);
}

QString TerminalAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType type,
                                         int* startOffset, int* endOffset) const {
    return textNear(CharacterText::Side::At, offset, type, startOffset, endOffset);
}

QRect TerminalAccessible::characterRect(int offset) const {
    const TerminalView* v = view();
    const TextPosition at = positionOf(offset);
    const int columns = v->layout().columns();
    const qint64 row = v->layout().firstRowOf(qsizetype(at.line - buffer().firstLineNumber())) +
                       at.column / columns;
    const QPoint topLeft(
        TerminalView::Padding + int(qreal(at.column % columns) * v->characterWidth()),
        int(TerminalView::Padding + row * v->lineHeight() - v->verticalScrollBar()->value()));
    return QRect(v->viewport()->mapToGlobal(topLeft),
                 QSize(int(std::ceil(v->characterWidth())), v->lineHeight()));
}

int TerminalAccessible::offsetAtPoint(const QPoint& point) const {
    const QWidget* viewport = view()->viewport();
    const QPoint local = viewport->mapFromGlobal(point);
    return viewport->rect().contains(local) ? offsetOf(view()->positionAt(local)) : -1;
}

void TerminalAccessible::scrollToSubstring(int startIndex, int endIndex) {
    const TextPosition start = positionOf(startIndex);
    const TextPosition end = positionOf(endIndex);
    view()->reveal(start, end.line == start.line ? end.column - start.column : 1);
}

QString TerminalAccessible::attributes(int offset, int* startOffset, int* endOffset) const {
    Q_UNUSED(offset);
    // Colours carry no meaning that the text does not: none are reported.
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}

void TerminalAccessible::announce() {
    const TextPosition end = buffer().endPosition();
    int from = offsetOf(announced_); // trimmed away: from the oldest line left
    announced_ = end;
    const int to = offsetOf(end);
    from = std::max(from, to - AnnounceMaxChars);
    if (from >= to)
        return;
    QAccessibleTextInsertEvent event(view(), from, text(from, to));
    QAccessible::updateAccessibility(&event);
}
