#pragma once

#include "CharacterText.h"
#include "TerminalBuffer.h"

#include <QAccessibleWidget>
#include <QTimer>

#include <deque>

class TerminalView;

// What assistive technologies get of the hand-painted terminal view: its retained text, lines
// joined by '\n' and counted in characters (code points, as AT-SPI counts them), with the
// selection, a caret at the selection's moving end and the geometry of every character; new
// output is announced as inserted text, at most a few times a second and only its end in a flood.
class TerminalAccessible final : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    static constexpr int AnnounceIntervalMs = 300;
    static constexpr int AnnounceMaxChars = 4096;

    explicit TerminalAccessible(TerminalView* view);

    // Makes every TerminalView answer through this class; once per process is enough.
    static void installFactory();
    // Called by the view after it has taken new output.
    static void outputChanged(TerminalView* view);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;

    // QAccessibleTextInterface
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int* startOffset, int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int* startOffset, int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

    using QAccessibleWidget::text;

private:
    TerminalView* view() const;
    const TerminalBuffer& buffer() const;
    void updateLineStarts() const;
    int offsetOf(TextPosition position) const;
    TextPosition positionOf(int offset) const;
    QString textNear(CharacterText::Side side, int offset,
                     QAccessible::TextBoundaryType boundaryType, int* startOffset,
                     int* endOffset) const;
    void announce();

    // Where each retained line starts, counted from an arbitrary origin; kept in step with the
    // buffer lazily, by the lines added and trimmed since the last question.
    mutable std::deque<qint64> lineStarts_;
    mutable qint64 firstStartLine_ = 0; // the line number of lineStarts_.front()
    TextPosition announced_;            // the end of the text when it was last announced
    QTimer announceTimer_;
};
