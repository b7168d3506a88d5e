#pragma once

#include "TerminalBuffer.h"
#include "TerminalLayout.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QFont>
#include <QTimer>

#include <array>
#include <memory>

class QAction;
class QMenu;
class TerminalSearch;
class TerminalViewModel;

// The terminal window's content: the output log as coloured monospaced text on black, drawn
// from the supervisor's retained tail (it keeps no copy), painting only the rows in sight. Follows
// the end of the log while it is scrolled to the end; scrolled up, it keeps its place and shows
// that new output waits.
class TerminalView : public QAbstractScrollArea {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminalView)

public:
    static constexpr int Padding = 12;
    static constexpr int RefreshIntervalMs = 16; // at most about 60 repaints a second

    // Shows `model`, which the view takes over.
    explicit TerminalView(TerminalViewModel* model, QWidget* parent = nullptr);
    ~TerminalView() override;

    static QColor defaultForeground() { return QColor(Qt::green); }
    static QColor defaultBackground() { return QColor(Qt::black); }

    TerminalViewModel* model() const { return model_; }
    // The lines shown: the supervisor's retained tail, or a store of the view's own without
    // a supervisor.
    const TerminalBuffer& buffer() const { return *buffer_; }
    // How those lines wrap at the pane's width.
    const TerminalLayout& layout() const { return layout_; }
    bool isFollowing() const { return following_; }
    bool hasNewOutputWaiting() const { return unseen_; }
    bool hasSelection() const { return selectionAnchor_ != selectionCursor_; }
    // Where the selection started and where it ends now; the same place when there is none.
    TextPosition selectionAnchor() const { return selectionAnchor_; }
    TextPosition selectionCursor() const { return selectionCursor_; }
    void setSelection(TextPosition anchor, TextPosition cursor);
    QString selectedText() const;
    // The text position under a point of the viewport.
    TextPosition positionAt(QPoint point) const;
    // Scrolls, when needed, so that `length` characters from `position` are in sight.
    void reveal(TextPosition position, qsizetype length = 1);
    // Finds text in the scrollback; its matches are highlighted and its current match shown.
    TerminalSearch* search() const { return search_; }
    int lineHeight() const { return lineHeight_; }
    qreal characterWidth() const { return characterWidth_; }
    // The address of the link at a position; empty where there is none.
    QString linkAt(TextPosition position) const;
    // Shows where a link goes and opens it with the desktop's handler once the user agrees.
    void askToOpen(const QString& link);
    // Viewport rectangle of the "new output" badge (valid while it shows).
    QRect newOutputBadgeRect() const;

    // The context menu's entries: Open Link (on a link), Copy, Select All, Open Log File. The
    // caller owns the menu.
    QMenu* createContextMenu(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {800, 600}; }
    QSize minimumSizeHint() const override { return {600, 400}; }

public Q_SLOTS:
    void copy();
    void selectAll();
    void clearSelection();
    void scrollToBottom();
    void openLogFile();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void onOutputReset();
    void scheduleRefresh();
    void refresh();
    void layoutContent();
    void onScrolled(int value);
    void saveAnchor(int value);
    int anchoredValue() const;
    void updateMetrics();
    const QFont& fontFor(const TextStyle& style);
    void paintRow(QPainter& painter, qsizetype index, qsizetype from, qsizetype to, int y);
    void publishSelection();

    TerminalViewModel* model_ = nullptr;
    std::unique_ptr<TerminalBuffer> ownBuffer_;
    TerminalBuffer* buffer_ = nullptr;
    TerminalLayout layout_;
    TerminalSearch* search_;

    std::array<QFont, 16> fonts_;
    std::array<bool, 16> fontReady_{};
    int lineHeight_ = 16;
    int ascent_ = 12;
    qreal characterWidth_ = 8;

    QTimer refreshTimer_;
    QElapsedTimer sinceRefresh_;
    bool newOutput_ = false;

    bool following_ = true;
    bool unseen_ = false;
    bool adjusting_ = false; // the view itself moves the scroll bar
    qint64 anchorLine_ = 0;  // while scrolled up: the line at the top and how far into it
    int anchorOffset_ = 0;

    TextPosition selectionAnchor_;
    TextPosition selectionCursor_;
    bool selecting_ = false;

    QAction* copyAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    QAction* openLogAction_ = nullptr;
    QAction* openLinkAction_ = nullptr;
    QString menuLink_; // the link the context menu was opened on
};
