#include "TerminalView.h"

#include "TerminalAccessible.h"
#include "TerminalSearch.h"
#include "TerminalViewModel.h"
#include "output/Console.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollBar>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {
const QString newOutputText = QStringLiteral("▼ new output");
const QColor selectionColor(0x26, 0x4f, 0x78);
// Dark enough under any text colour for the text to stay readable.
const QColor matchColor(0x5c, 0x4a, 0x00);
const QColor currentMatchColor(0xa8, 0x52, 0x00);

// The colours a painter uses, with inverse and dim applied.
QColor mix(const QColor& a, const QColor& b, int aPercent) {
    const int bPercent = 100 - aPercent;
    return QColor((a.red() * aPercent + b.red() * bPercent) / 100,
                  (a.green() * aPercent + b.green() * bPercent) / 100,
                  (a.blue() * aPercent + b.blue() * bPercent) / 100);
}

QColor paintedForeground(const TextStyle& style) {
    const QColor defaultForeground = TerminalView::defaultForeground();
    const QColor defaultBackground = TerminalView::defaultBackground();
    QColor fg = style.foreground == TextStyle::DefaultColor ? defaultForeground
                                                            : QColor::fromRgb(style.foreground);
    QColor bg = style.background == TextStyle::DefaultColor ? defaultBackground
                                                            : QColor::fromRgb(style.background);
    if (style.has(TextStyle::Inverse))
        std::swap(fg, bg);
    return style.has(TextStyle::Dim) ? mix(fg, bg, 60) : fg;
}

// Invalid when the pane's background shows through.
QColor paintedBackground(const TextStyle& style) {
    if (style.has(TextStyle::Inverse))
        return style.foreground == TextStyle::DefaultColor ? TerminalView::defaultForeground()
                                                           : QColor::fromRgb(style.foreground);
    return style.background == TextStyle::DefaultColor ? QColor()
                                                       : QColor::fromRgb(style.background);
}

// Links show underlined.
bool underlined(const TextStyle& style) {
    return style.has(TextStyle::Underline) || style.link != 0;
}

int fontIndex(const TextStyle& style) {
    return (style.has(TextStyle::Bold) ? 1 : 0) | (style.has(TextStyle::Italic) ? 2 : 0) |
           (underlined(style) ? 4 : 0) | (style.has(TextStyle::Strike) ? 8 : 0);
}

bool isWordCharacter(QChar c) {
    return !c.isSpace();
}
} // namespace

TerminalView::TerminalView(TerminalViewModel* model, QWidget* parent)
    : QAbstractScrollArea(parent), model_(model),
      ownBuffer_(model && model->tail() ? nullptr : std::make_unique<TerminalBuffer>()),
      buffer_(ownBuffer_ ? ownBuffer_.get() : model->tail()), layout_(buffer_) {
    if (ownBuffer_ && model_)
        buffer_->append(model_->output());
    search_ = new TerminalSearch(buffer_, this);
    TerminalAccessible::installFactory();
    setAccessibleName(tr("CLI output"));
    setMinimumSize(600, 400);
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Always there, so its appearing never changes the width and with it the wrapping.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, defaultBackground());
    colours.setColor(QPalette::Window, defaultBackground());
    colours.setColor(QPalette::Text, defaultForeground());
    setPalette(colours);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    updateMetrics();

    copyAction_ = new QAction(tr("Copy"), this);
    copyAction_->setShortcut(QKeySequence::Copy);
    connect(copyAction_, &QAction::triggered, this, &TerminalView::copy);
    selectAllAction_ = new QAction(tr("Select All"), this);
    selectAllAction_->setShortcut(QKeySequence::SelectAll);
    connect(selectAllAction_, &QAction::triggered, this, &TerminalView::selectAll);
    openLinkAction_ = new QAction(tr("Open Link…"), this);
    connect(openLinkAction_, &QAction::triggered, this, [this] { askToOpen(menuLink_); });
    openLogAction_ = new QAction(tr("Open Log File"), this);
    connect(openLogAction_, &QAction::triggered, this, &TerminalView::openLogFile);

    refreshTimer_.setSingleShot(true);
    connect(&refreshTimer_, &QTimer::timeout, this, &TerminalView::refresh);
    sinceRefresh_.start();
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &TerminalView::onScrolled);
    connect(search_, &TerminalSearch::matchesChanged, viewport(), qOverload<>(&QWidget::update));
    connect(search_, &TerminalSearch::currentChanged, this, [this] {
        if (search_->currentIndex() >= 0)
            reveal(search_->match(search_->currentIndex()), search_->pattern().size());
        viewport()->update();
    });

    if (model_) {
        model_->setParent(this);
        connect(model_, &TerminalViewModel::outputReset, this, &TerminalView::onOutputReset);
        // What was added is in the tail already; it only needs drawing.
        connect(model_, &TerminalViewModel::outputAppended, this, [this] {
            search_->bufferChanged();
            newOutput_ = true;
            scheduleRefresh();
        });
    }
    layoutContent();
}

TerminalView::~TerminalView() = default;

void TerminalView::onOutputReset() {
    selectionAnchor_ = selectionCursor_ = buffer_->endPosition();
    search_->bufferChanged();
    newOutput_ = true;
    scheduleRefresh();
}

void TerminalView::scheduleRefresh() {
    if (refreshTimer_.isActive())
        return;
    // Output after a quiet spell shows at once; a flood is drawn once per interval.
    const qint64 wait = RefreshIntervalMs - sinceRefresh_.elapsed();
    refreshTimer_.start(int(std::clamp<qint64>(wait, 0, RefreshIntervalMs)));
}

void TerminalView::refresh() {
    sinceRefresh_.restart();
    if (newOutput_ && !following_)
        unseen_ = true;
    if (newOutput_)
        TerminalAccessible::outputChanged(this);
    newOutput_ = false;
    layoutContent();
    viewport()->update();
}

void TerminalView::layoutContent() {
    const int width = viewport()->width() - 2 * Padding;
    layout_.setColumns(std::max(1, int(std::floor(width / characterWidth_))));
    // A program may draw on as many rows as the pane shows.
    buffer_->setScreenRows((viewport()->height() - 2 * Padding) / lineHeight_);
    const qint64 content = 2 * Padding + layout_.rowCount() * qint64(lineHeight_);
    const int maximum = int(std::clamp<qint64>(content - viewport()->height(), 0, INT_MAX));
    QScrollBar* bar = verticalScrollBar();
    adjusting_ = true;
    bar->setRange(0, maximum);
    bar->setPageStep(std::max(lineHeight_, viewport()->height() - lineHeight_));
    bar->setSingleStep(lineHeight_);
    bar->setValue(following_ ? maximum : anchoredValue());
    adjusting_ = false;
}

void TerminalView::onScrolled(int value) {
    viewport()->update();
    if (adjusting_)
        return;
    following_ = value >= verticalScrollBar()->maximum();
    if (following_)
        unseen_ = false;
    saveAnchor(value);
}

void TerminalView::scrollToBottom() {
    following_ = true;
    unseen_ = false;
    layoutContent();
    viewport()->update();
}

void TerminalView::reveal(TextPosition position, qsizetype length) {
    layoutContent(); // rows of output not drawn yet count too
    position = buffer_->clamped(position);
    const qsizetype index = qsizetype(position.line - buffer_->firstLineNumber());
    const int columns = layout_.columns();
    const qint64 row = layout_.firstRowOf(index) + position.column / columns;
    const qint64 lastRow = layout_.firstRowOf(index) +
                           (position.column + std::max<qsizetype>(1, length) - 1) / columns;
    const qint64 top = Padding + row * lineHeight_;
    const qint64 bottom = Padding + (lastRow + 1) * lineHeight_;
    QScrollBar* bar = verticalScrollBar();
    const int height = viewport()->height();
    if (top >= bar->value() && bottom <= bar->value() + height)
        return;
    // Half-way down the pane, with what led up to it above.
    bar->setValue(int(std::clamp<qint64>(top - (height - lineHeight_) / 2, 0, bar->maximum())));
}

void TerminalView::saveAnchor(int value) {
    const qint64 row = std::max(0, value - Padding) / lineHeight_;
    const qsizetype index = layout_.lineAtRow(row);
    anchorLine_ = buffer_->firstLineNumber() + index;
    anchorOffset_ = int(value - (Padding + layout_.firstRowOf(index) * lineHeight_));
}

int TerminalView::anchoredValue() const {
    const qint64 index = anchorLine_ - buffer_->firstLineNumber();
    if (index < 0)
        return 0; // the line at the top was trimmed away: show the oldest that is left
    if (index >= layout_.shownLineCount())
        return verticalScrollBar()->maximum();
    const qint64 height = layout_.rowsOf(qsizetype(index)) * lineHeight_;
    const qint64 offset = std::min<qint64>(anchorOffset_, height - 1);
    return int(
        std::clamp<qint64>(Padding + layout_.firstRowOf(qsizetype(index)) * lineHeight_ + offset, 0,
                           verticalScrollBar()->maximum()));
}

void TerminalView::updateMetrics() {
    fontReady_.fill(false);
    const QFontMetricsF metrics(font());
    lineHeight_ = std::max(1, int(std::ceil(metrics.lineSpacing())));
    ascent_ = int(std::round(metrics.ascent()));
    characterWidth_ = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('M')));
}

const QFont& TerminalView::fontFor(const TextStyle& style) {
    const int index = fontIndex(style);
    if (!fontReady_[size_t(index)]) {
        QFont f = font();
        f.setBold(style.has(TextStyle::Bold));
        f.setItalic(style.has(TextStyle::Italic));
        f.setUnderline(underlined(style));
        f.setStrikeOut(style.has(TextStyle::Strike));
        fonts_[size_t(index)] = f;
        fontReady_[size_t(index)] = true;
    }
    return fonts_[size_t(index)];
}

void TerminalView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        layoutContent();
        viewport()->update();
    }
}

void TerminalView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    layoutContent();
}

void TerminalView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), defaultBackground());
    const int top = verticalScrollBar()->value();
    const int height = viewport()->height();
    const int columns = layout_.columns();
    const qsizetype shown = layout_.shownLineCount();

    qint64 row = std::max(0, top - Padding) / lineHeight_;
    qsizetype index = layout_.lineAtRow(row);
    qint64 rowInLine = row - layout_.firstRowOf(index);
    while (index < shown) {
        const int y = int(Padding + row * lineHeight_ - top);
        if (y >= height)
            break;
        const qsizetype length = buffer_->line(index).text.size();
        const qsizetype from = rowInLine * columns;
        if (y + lineHeight_ > 0)
            paintRow(painter, index, from, std::min<qsizetype>(length, from + columns), y);
        ++row;
        if (++rowInLine >= layout_.rowsOf(index)) {
            ++index;
            rowInLine = 0;
        }
    }

    if (unseen_ && !following_) {
        const QRect badge = newOutputBadgeRect();
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(badge), 6, 6);
        painter.fillPath(path, defaultForeground());
        painter.setFont(font());
        painter.setPen(defaultBackground());
        painter.drawText(badge, Qt::AlignCenter, newOutputText);
    }
}

void TerminalView::paintRow(QPainter& painter, qsizetype index, qsizetype from, qsizetype to,
                            int y) {
    const TerminalLine line = buffer_->line(index);
    const auto x = [this, from](qsizetype column) {
        return Padding + qreal(column - from) * characterWidth_;
    };
    const auto cells = [this, &x, y](qsizetype a, qsizetype b) {
        return QRectF(x(a), y, qreal(b - a) * characterWidth_, lineHeight_);
    };
    // The run in effect at `from`, and the end of each run.
    auto first = std::upper_bound(line.runs.begin(), line.runs.end(), from,
                                  [](qsizetype c, const StyledRun& run) { return c < run.start; });
    if (first != line.runs.begin())
        --first;
    const auto runEnd = [&line](std::span<const StyledRun>::iterator run) {
        const auto next = run + 1;
        return next == line.runs.end() ? line.text.size() : qsizetype(next->start);
    };

    for (auto run = first; run != line.runs.end() && run->start < to; ++run) {
        const QColor background = paintedBackground(run->style);
        if (background.isValid())
            painter.fillRect(
                cells(std::max<qsizetype>(run->start, from), std::min(runEnd(run), to)),
                background);
    }

    const qint64 number = buffer_->firstLineNumber() + index;
    const qsizetype matchLength = search_->pattern().size();
    const QList<TerminalSearch::Match> matches = search_->matchesIn(number);
    const qsizetype current = matches.isEmpty() ? -1 : search_->currentIndex();
    const TerminalSearch::Match currentMatch =
        current >= 0 ? search_->match(current) : TerminalSearch::Match{-1, -1};
    for (const TerminalSearch::Match& match : matches) {
        const qsizetype s = std::max(match.column, from);
        const qsizetype e = std::min(match.column + matchLength, to);
        const bool isCurrent = match == currentMatch;
        if (s < e)
            painter.fillRect(cells(s, e), isCurrent ? currentMatchColor : matchColor);
    }

    if (hasSelection()) {
        const TextPosition a = std::min(selectionAnchor_, selectionCursor_);
        const TextPosition b = std::max(selectionAnchor_, selectionCursor_);
        if (number >= a.line && number <= b.line) {
            const qsizetype start = number == a.line ? a.column : 0;
            // A selection that runs on past this line also takes its line break.
            const qsizetype end = number == b.line ? b.column : line.text.size() + 1;
            const qsizetype s = std::max(start, from);
            const qsizetype e = std::min(end, to == line.text.size() ? to + 1 : to);
            if (s < e)
                painter.fillRect(cells(s, e), selectionColor);
        }
    }

    const qreal baseline = y + ascent_;
    for (auto run = first; run != line.runs.end() && run->start < to; ++run) {
        const qsizetype a = std::max<qsizetype>(run->start, from);
        const qsizetype b = std::min(runEnd(run), to);
        if (a >= b)
            continue;
        const QStringView piece = line.text.sliced(a, b - a);
        if (piece.trimmed().isEmpty() && !run->style.has(TextStyle::Underline) &&
            !run->style.has(TextStyle::Strike))
            continue;
        painter.setFont(fontFor(run->style));
        painter.setPen(paintedForeground(run->style));
        painter.drawText(QPointF(x(a), baseline), piece.toString());
    }
}

QRect TerminalView::newOutputBadgeRect() const {
    const QFontMetrics metrics(font());
    const QSize size(metrics.horizontalAdvance(newOutputText) + 16, metrics.height() + 8);
    const QRect area = viewport()->rect();
    return QRect(
        QPoint(area.right() - Padding - size.width(), area.bottom() - Padding - size.height()),
        size);
}

TextPosition TerminalView::positionAt(QPoint point) const {
    const qint64 contentY = qint64(point.y()) + verticalScrollBar()->value() - Padding;
    if (contentY < 0)
        return {buffer_->firstLineNumber(), 0};
    const qint64 row = contentY / lineHeight_;
    const qsizetype shown = layout_.shownLineCount();
    if (row >= layout_.rowCount()) {
        const qsizetype last = shown - 1;
        return {buffer_->firstLineNumber() + last, buffer_->line(last).text.size()};
    }
    const qsizetype index = layout_.lineAtRow(row);
    const qint64 rowInLine = row - layout_.firstRowOf(index);
    const int columns = layout_.columns();
    const qsizetype inRow =
        std::clamp<qsizetype>(qRound((point.x() - Padding) / characterWidth_), 0, columns);
    const qsizetype column =
        std::min<qsizetype>(buffer_->line(index).text.size(), rowInLine * columns + inRow);
    return {buffer_->firstLineNumber() + index, column};
}

void TerminalView::setSelection(TextPosition anchor, TextPosition cursor) {
    selectionAnchor_ = anchor;
    selectionCursor_ = cursor;
    viewport()->update();
}

QString TerminalView::selectedText() const {
    if (!hasSelection())
        return {};
    return buffer_->text(selectionAnchor_, selectionCursor_);
}

void TerminalView::copy() {
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

void TerminalView::publishSelection() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

void TerminalView::selectAll() {
    setSelection({buffer_->firstLineNumber(), 0}, buffer_->endPosition());
    publishSelection();
}

void TerminalView::clearSelection() {
    setSelection(selectionCursor_, selectionCursor_);
}

void TerminalView::openLogFile() {
    if (!model_)
        return;
    const QString path = model_->logFilePath();
    if (path.isEmpty())
        return;
    // The viewer should see everything shown here: the file is opened once the log's writer
    // reports that it holds it, without waiting here for the writer or the disk.
    model_->whenLogWritten(this, [path] {
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            Console::log(QStringLiteral("❌ Could not open the log file ") + path);
    });
}

QString TerminalView::linkAt(TextPosition position) const {
    position = buffer_->clamped(position);
    const TerminalLine line = buffer_->line(qsizetype(position.line - buffer_->firstLineNumber()));
    if (position.column >= line.text.size())
        return {};
    const auto run =
        std::upper_bound(line.runs.begin(), line.runs.end(), position.column,
                         [](qsizetype column, const StyledRun& r) { return column < r.start; });
    return run == line.runs.begin() ? QString() : buffer_->link((run - 1)->style.link);
}

void TerminalView::askToOpen(const QString& link) {
    if (link.isEmpty())
        return;
    // Where a link goes is shown before anything opens it: its text may say otherwise.
    auto* box = new QMessageBox(QMessageBox::Question, tr("Open Link"),
                                tr("Open this address with the desktop's default application?"),
                                QMessageBox::Open | QMessageBox::Cancel, this);
    box->setInformativeText(link);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box->button(QMessageBox::Open), &QAbstractButton::clicked, this, [link] {
        if (!QDesktopServices::openUrl(QUrl(link)))
            Console::log(QStringLiteral("❌ Could not open the link ") + link);
    });
    box->open();
}

QMenu* TerminalView::createContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    openLinkAction_->setEnabled(!menuLink_.isEmpty());
    if (!menuLink_.isEmpty())
        menu->addAction(openLinkAction_);
    copyAction_->setEnabled(hasSelection());
    openLogAction_->setEnabled(model_ && !model_->logFilePath().isEmpty());
    menu->addAction(copyAction_);
    menu->addAction(selectAllAction_);
    menu->addSeparator();
    menu->addAction(openLogAction_);
    return menu;
}

void TerminalView::contextMenuEvent(QContextMenuEvent* event) {
    // From the keyboard: the link where the selection or the current match starts.
    const qsizetype match = search_->currentIndex();
    menuLink_ = event->reason() == QContextMenuEvent::Mouse ? linkAt(positionAt(event->pos()))
                : hasSelection() ? linkAt(std::min(selectionAnchor_, selectionCursor_))
                : match >= 0     ? linkAt(search_->match(match))
                                 : QString();
    QMenu* menu = createContextMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TerminalView::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::Copy) {
        copy();
    } else if (event == QKeySequence::SelectAll) {
        selectAll();
    } else if (event->key() == Qt::Key_End || event == QKeySequence::MoveToEndOfDocument) {
        scrollToBottom();
    } else if (event->key() == Qt::Key_Home || event == QKeySequence::MoveToStartOfDocument) {
        verticalScrollBar()->setValue(0);
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void TerminalView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    if (unseen_ && !following_ && newOutputBadgeRect().contains(event->position().toPoint())) {
        scrollToBottom();
        return;
    }
    const TextPosition at = positionAt(event->position().toPoint());
    setSelection(at, at);
    selecting_ = true;
}

void TerminalView::mouseMoveEvent(QMouseEvent* event) {
    if (!selecting_ || !(event->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    const QPoint point = event->position().toPoint();
    QScrollBar* bar = verticalScrollBar();
    // Dragging past an edge scrolls, so a selection can reach beyond the visible rows.
    if (point.y() < 0)
        bar->setValue(bar->value() - lineHeight_);
    else if (point.y() > viewport()->height())
        bar->setValue(bar->value() + lineHeight_);
    setSelection(selectionAnchor_, positionAt(point));
}

void TerminalView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        if (selecting_) {
            selecting_ = false;
            publishSelection();
            if (!hasSelection()) // a click, not a drag
                askToOpen(linkAt(positionAt(event->position().toPoint())));
        }
        return;
    }
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void TerminalView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    TextPosition at = positionAt(event->position().toPoint());
    const QStringView text = buffer_->line(qsizetype(at.line - buffer_->firstLineNumber())).text;
    qsizetype start = at.column;
    qsizetype end = at.column;
    while (start > 0 && isWordCharacter(text[start - 1]))
        --start;
    while (end < text.size() && isWordCharacter(text[end]))
        ++end;
    setSelection({at.line, start}, {at.line, end});
    selecting_ = false;
    publishSelection();
}
