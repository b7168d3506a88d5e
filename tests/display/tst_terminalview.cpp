#include "Console.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "TestEnvironment.h"
#include "VantrelManager.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QMenu>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {
QString allText(const TerminalBuffer& buffer) {
    return buffer.text({buffer.firstLineNumber(), 0}, buffer.endPosition());
}

int countPixels(const QImage& image, QRgb colour, QRect area = {}) {
    if (area.isNull())
        area = image.rect();
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += (image.pixel(x, y) & 0xffffff) == (colour & 0xffffff);
    return count;
}

// The rows of `image` that hold at least one pixel of `colour`.
std::pair<int, int> rowsWith(const QImage& image, QRgb colour) {
    int first = -1;
    int last = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xffffff) == (colour & 0xffffff)) {
                if (first < 0)
                    first = y;
                last = y;
                break;
            }
    return {first, last};
}

// Receives the URLs the view asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }
};

// Counts the paint events of a widget.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};
} // namespace

// The terminal pane on the offscreen platform, fed through a real supervisor.
class TestTerminalView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void minimumSizeAndDefaultModel();
    void showsRetainedLogThenBatches();
    void paintsDefaultGreenOnBlackAndSgrColours();
    void escapeSequencesDrawNothing();
    void wrapsAtThePaneWidth();
    void holdsNoMoreThanTheRetainedLog();

    void followsTheEnd();
    void scrolledUpKeepsItsPlaceAndShowsNewOutput();
    void endKeyScrollBarAndBadgeFollowAgain();
    void repaintsAreCoalescedUnderAFlood();

    void mouseSelectionAndCtrlC();
    void doubleClickSelectsAWord();
    void contextMenuCopySelectAllAndOpenLog();
    void destroyedWithOutputPending();

private:
    // Writes through the supervisor and waits until the view has the text.
    void feed(const QString& text);
    std::unique_ptr<TerminalView> makeView(QSize size = {640, 420});
    QString topLine() const;
    // The scroll range once the pending refresh has laid the content out.
    int expectedMaximum() const;

    std::unique_ptr<QTemporaryDir> dir_;
    SupervisorOptions options_;
    std::unique_ptr<VantrelManager> manager_;
    std::unique_ptr<TerminalView> view_;
};

void TestTerminalView::initTestCase() {
    Console::setSink([](const QString&) {}); // the supervisor echoes every chunk
}

void TestTerminalView::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    options_ = {};
    options_.installDir = dir_->path() + QStringLiteral("/bin");
    options_.stateDir = dir_->path() + QStringLiteral("/state");
    options_.logDir = options_.stateDir;
    options_.baseURL = QUrl(QStringLiteral("https://127.0.0.1:1/static/cli"));
    options_.sweepPattern =
        QStringLiteral("halvane-view-test-") + QUuid::createUuid().toString(QUuid::Id128);
}

void TestTerminalView::cleanup() {
    view_.reset();
    manager_.reset();
    dir_.reset();
}

std::unique_ptr<TerminalView> TestTerminalView::makeView(QSize size) {
    if (!manager_)
        manager_ = std::make_unique<VantrelManager>(options_);
    auto view = std::make_unique<TerminalView>(new TerminalViewModel(manager_.get()));
    view->resize(size);
    view->show();
    if (!QTest::qWaitForWindowExposed(view.get()))
        qWarning("view not exposed");
    // The first delivery (the retained log) replaces the starting message.
    const QString retained = manager_->output();
    if (!QTest::qWaitFor([&] { return view->model()->output() == retained; }))
        qWarning("retained log not delivered");
    return view;
}

void TestTerminalView::feed(const QString& text) {
    manager_->outputHandler(text);
    QVERIFY(QTest::qWaitFor([&] { return view_->model()->output().endsWith(text); }));
}

QString TestTerminalView::topLine() const {
    const TerminalBuffer& buffer = view_->buffer();
    const int row = std::max(0, view_->verticalScrollBar()->value() - TerminalView::Padding) /
                    view_->lineHeight();
    return buffer.line(buffer.lineAtRow(row)).text;
}

int TestTerminalView::expectedMaximum() const {
    const qint64 content =
        2 * TerminalView::Padding + view_->buffer().rowCount() * view_->lineHeight();
    return int(std::max<qint64>(0, content - view_->viewport()->height()));
}

void TestTerminalView::minimumSizeAndDefaultModel() {
    TerminalView view;
    QVERIFY(view.model());
    QCOMPARE(view.model()->manager(), VantrelManager::shared());
    QVERIFY(view.minimumSize().width() >= 600 && view.minimumSize().height() >= 400);
    view.resize(100, 80);
    view.show();
    QVERIFY(view.width() >= 600 && view.height() >= 400);
    QCOMPARE(view.model()->output(), QStringLiteral("🚀 Starting Vantrel CLI setup...\n"));
    QCOMPARE(allText(view.buffer()), QStringLiteral("🚀 Starting Vantrel CLI setup...\n"));
}

void TestTerminalView::showsRetainedLogThenBatches() {
    manager_ = std::make_unique<VantrelManager>(options_);
    manager_->outputHandler(QStringLiteral("\x1b[33mbefore\x1b[0m the window\n"));
    QTRY_VERIFY(manager_->output().endsWith(QStringLiteral("the window\n")));
    view_ = makeView();
    QCOMPARE(allText(view_->buffer()),
             QStringLiteral("🔧 Vantrel Manager initialized\nbefore the window\n"));
    feed(QStringLiteral("after\n"));
    QVERIFY(allText(view_->buffer()).endsWith(QStringLiteral("the window\nafter\n")));
}

void TestTerminalView::paintsDefaultGreenOnBlackAndSgrColours() {
    view_ = makeView();
    const QString block(6, QChar(0x2588));
    feed(block + QStringLiteral("\n\n\x1b[31m") + block + QStringLiteral("\x1b[0m\n\n") +
         QStringLiteral("\x1b[48;5;21m      \x1b[0m\n\n\x1b[38;2;250;100;0m") + block +
         QStringLiteral("\x1b[0m\n\n\x1b[7m inverse \x1b[0m\n"));
    const QImage image = view_->viewport()->grab().toImage();
    const int area = image.width() * image.height();
    QVERIFY(countPixels(image, qRgb(0, 0, 0)) > area * 3 / 4);

    const QRgb green = TerminalView::defaultForeground().rgb();
    QCOMPARE(green & 0xffffff, qRgb(0, 255, 0) & 0xffffff);
    const QRgb red = xtermColor(1);
    const QRgb blue = xtermColor(21);
    const QRgb orange = qRgb(250, 100, 0);
    for (QRgb colour : {green, red, blue, orange})
        QVERIFY2(countPixels(image, colour) > 40, qPrintable(QString::number(colour, 16)));

    // In the order written, one above the other, all inside the padding.
    const auto [redTop, redBottom] = rowsWith(image, red);
    const auto [blueTop, blueBottom] = rowsWith(image, blue);
    const auto [orangeTop, orangeBottom] = rowsWith(image, orange);
    QVERIFY(redTop > TerminalView::Padding + view_->lineHeight());
    QVERIFY(redBottom < blueTop && blueBottom < orangeTop);
    // The inverse run is green cells with black text, below the orange one.
    const auto [greenTop, greenBottom] = rowsWith(image, green);
    QVERIFY(greenTop >= TerminalView::Padding && greenBottom > orangeBottom);
    QCOMPARE(countPixels(image, green, QRect(0, 0, image.width(), TerminalView::Padding)), 0);
    QCOMPARE(countPixels(image, green, QRect(0, 0, TerminalView::Padding, image.height())), 0);
}

void TestTerminalView::escapeSequencesDrawNothing() {
    view_ = makeView();
    // Nothing but sequences and controls after the supervisor's greeting in the first row.
    feed(QStringLiteral("\x1b[31m\x1b]0;a title\x07\x1b[2J\x1b[10;10H\x1b[?25l\x1b]8;;"
                        "https://127.0.0.1/\x1b\\\x01\x7f\x1b[0m\x1b[1A\x1b[K\x1bP+q\x1b\\"));
    const TerminalBuffer& buffer = view_->buffer();
    QCOMPARE(buffer.line(buffer.lineCount() - 1).text, QString());
    QCOMPARE(allText(buffer), QStringLiteral("🔧 Vantrel Manager initialized\n"));
    const QImage image = view_->viewport()->grab().toImage();
    const QRect below(0, TerminalView::Padding + view_->lineHeight(), image.width(),
                      image.height() - TerminalView::Padding - view_->lineHeight());
    QCOMPARE(countPixels(image, qRgb(0, 0, 0), below), below.width() * below.height());
    QVERIFY(countPixels(image, TerminalView::defaultForeground().rgb()) > 20);
}

void TestTerminalView::wrapsAtThePaneWidth() {
    view_ = makeView({640, 420});
    const auto expectedColumns = [this] {
        return int((view_->viewport()->width() - 2 * TerminalView::Padding) /
                   view_->characterWidth());
    };
    QCOMPARE(view_->buffer().columns(), expectedColumns());
    feed(QString(500, QLatin1Char('w')) + QStringLiteral("\nend\n"));
    const qsizetype longLine = view_->buffer().lineCount() - 3;
    const int columns = view_->buffer().columns();
    QCOMPARE(view_->buffer().rowsOf(longLine), (500 + columns - 1) / columns);
    QVERIFY(view_->buffer().rowsOf(longLine) >= 5);

    view_->resize(1200, 420);
    QTRY_COMPARE(view_->buffer().columns(), expectedColumns());
    QVERIFY(view_->buffer().columns() > columns);
    QVERIFY(view_->buffer().rowsOf(longLine) < (500 + columns - 1) / columns);
    QCOMPARE(view_->horizontalScrollBar()->maximum(), 0);
}

void TestTerminalView::holdsNoMoreThanTheRetainedLog() {
    options_.retainedChars = 20000;
    options_.retainedLines = 300;
    view_ = makeView();
    for (int batch = 0; batch < 20; ++batch) {
        QString text;
        for (int i = 0; i < 100; ++i)
            text += QStringLiteral("\x1b[3%1mbatch %2 line %3\x1b[0m %4\n")
                        .arg(i % 8)
                        .arg(batch)
                        .arg(i)
                        .arg(QString(i, QLatin1Char('.')));
        feed(text);
        QVERIFY(view_->buffer().charCount() <= options_.retainedChars);
        QVERIFY(view_->buffer().lineCount() <= options_.retainedLines + 1);
        QVERIFY(view_->model()->output().size() <= options_.retainedChars);
    }
    QVERIFY(allText(view_->buffer()).contains(QStringLiteral("batch 19 line 99 ")));
    QVERIFY(!allText(view_->buffer()).contains(QStringLiteral("batch 0 line")));
}

void TestTerminalView::followsTheEnd() {
    view_ = makeView();
    QScrollBar* bar = view_->verticalScrollBar();
    QVERIFY(view_->isFollowing());
    QString lines;
    for (int i = 0; i < 500; ++i)
        lines += QStringLiteral("row %1\n").arg(i);
    feed(lines);
    // The last line sits just above the bottom padding.
    QTRY_COMPARE(bar->maximum(), expectedMaximum());
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    for (int i = 0; i < 3; ++i) {
        feed(QStringLiteral("more %1\n").arg(i));
        QTRY_COMPARE(bar->maximum(), expectedMaximum());
        QCOMPARE(bar->value(), bar->maximum());
    }
    QVERIFY(!view_->hasNewOutputWaiting());
}

void TestTerminalView::scrolledUpKeepsItsPlaceAndShowsNewOutput() {
    options_.retainedLines = 400;
    view_ = makeView();
    QScrollBar* bar = view_->verticalScrollBar();
    QString lines;
    for (int i = 0; i < 380; ++i)
        lines += QStringLiteral("row %1\n").arg(i);
    feed(lines);
    QTRY_COMPARE(bar->maximum(), expectedMaximum());
    QCOMPARE(bar->value(), bar->maximum());

    // Scrolled up with the wheel, as a user would.
    QWheelEvent wheel(QPointF(100, 100), view_->viewport()->mapToGlobal(QPointF(100, 100)), {},
                      QPoint(0, 120 * 5), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view_->viewport(), &wheel);
    QVERIFY(bar->value() < bar->maximum());
    QVERIFY(!view_->isFollowing());
    const int value = bar->value();
    const QString top = topLine();
    QVERIFY2(top.startsWith(QStringLiteral("row 3")), qPrintable(top));

    feed(QStringLiteral("new 1\nnew 2\n"));
    QTRY_VERIFY(view_->hasNewOutputWaiting());
    QCOMPARE(bar->value(), value);
    QCOMPARE(topLine(), top);

    // Older lines are dropped from the front: the same line stays at the top.
    QString more;
    for (int i = 0; i < 100; ++i)
        more += QStringLiteral("later %1\n").arg(i);
    feed(more);
    QTRY_VERIFY(bar->value() < value);
    QVERIFY(view_->buffer().firstLineNumber() > 0);
    QCOMPARE(topLine(), top);
    QVERIFY(!view_->isFollowing());

    // A new width re-wraps every line; the top line stays where it was.
    view_->resize(900, 420);
    QTRY_COMPARE(view_->viewport()->width(), 900 - bar->width());
    QCOMPARE(topLine(), top);
    QVERIFY(!view_->isFollowing());

    // The badge is painted over the text.
    const QRect badge = view_->newOutputBadgeRect();
    QVERIFY(view_->viewport()->rect().contains(badge));
    const QImage image = view_->viewport()->grab().toImage();
    QVERIFY(countPixels(image, TerminalView::defaultForeground().rgb(), badge) >
            badge.width() * badge.height() / 2);
}

void TestTerminalView::endKeyScrollBarAndBadgeFollowAgain() {
    view_ = makeView();
    QScrollBar* bar = view_->verticalScrollBar();
    QString lines;
    for (int i = 0; i < 300; ++i)
        lines += QStringLiteral("row %1\n").arg(i);
    feed(lines);
    QTRY_COMPARE(bar->maximum(), expectedMaximum());
    QCOMPARE(bar->value(), bar->maximum());

    const auto scrollUpAndWait = [&] {
        bar->setValue(bar->maximum() / 2);
        QVERIFY(!view_->isFollowing());
        feed(QStringLiteral("waiting\n"));
        QTRY_VERIFY(view_->hasNewOutputWaiting());
    };
    const auto followsAgain = [&] {
        QVERIFY(view_->isFollowing());
        QVERIFY(!view_->hasNewOutputWaiting());
        QTRY_COMPARE(bar->value(), bar->maximum());
        feed(QStringLiteral("after\n"));
        QTRY_COMPARE(bar->maximum(), expectedMaximum());
        QCOMPARE(bar->value(), bar->maximum());
    };

    scrollUpAndWait();
    QTest::keyClick(view_.get(), Qt::Key_End);
    followsAgain();

    scrollUpAndWait();
    bar->setValue(bar->maximum()); // dragged back to the end
    followsAgain();

    scrollUpAndWait();
    QTest::mouseClick(view_->viewport(), Qt::LeftButton, {}, view_->newOutputBadgeRect().center());
    followsAgain();

    QTest::keyClick(view_.get(), Qt::Key_Home);
    QCOMPARE(bar->value(), 0);
    QVERIFY(!view_->isFollowing());
}

void TestTerminalView::repaintsAreCoalescedUnderAFlood() {
    view_ = makeView();
    PaintCounter counter;
    view_->viewport()->installEventFilter(&counter);
    QSignalSpy batches(view_->model(), &TerminalViewModel::outputAppended);
    QElapsedTimer clock;
    clock.start();
    // Each chunk is handed over on its own turn of the event loop, so each is its own batch.
    int sent = 0;
    while (clock.elapsed() < 300) {
        manager_->outputHandler(QStringLiteral("\x1b[32mflood %1\x1b[0m\n").arg(sent++));
        QCoreApplication::processEvents();
    }
    const QString last = QStringLiteral("flood %1\x1b[0m\n").arg(sent - 1);
    QTRY_VERIFY(view_->model()->output().endsWith(last));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(batches.count() > 100, qPrintable(QString::number(batches.count())));
    QVERIFY2(counter.paints <= elapsed / TerminalView::RefreshIntervalMs + 4,
             qPrintable(QStringLiteral("%1 paints in %2 ms").arg(counter.paints).arg(elapsed)));
    QVERIFY(counter.paints > 0);
    // The last batch still reaches the screen.
    QTRY_COMPARE(view_->verticalScrollBar()->maximum(), expectedMaximum());
    QCOMPARE(view_->verticalScrollBar()->value(), view_->verticalScrollBar()->maximum());
    QVERIFY(topLine().startsWith(QStringLiteral("flood ")));
}

void TestTerminalView::mouseSelectionAndCtrlC() {
    view_ = makeView();
    feed(QStringLiteral("\x1b[1malpha\x1b[0m beta\ngamma delta\n") +
         QString(200, QLatin1Char('x')) + QStringLiteral("yz\n"));
    QVERIFY(!view_->isFollowing() || view_->verticalScrollBar()->maximum() == 0);
    const auto at = [this](int column, int row) {
        return QPoint(TerminalView::Padding + int((column + 0.1) * view_->characterWidth()),
                      TerminalView::Padding + row * view_->lineHeight() + view_->lineHeight() / 2);
    };
    // Row 0 is the supervisor's greeting.
    QWidget* viewport = view_->viewport();
    QTest::mousePress(viewport, Qt::LeftButton, {}, at(6, 1));
    QMouseEvent move(QEvent::MouseMove, at(5, 2), viewport->mapToGlobal(at(5, 2)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at(5, 2));
    QVERIFY(view_->hasSelection());
    QCOMPARE(view_->selectedText(), QStringLiteral("beta\ngamma"));

    QGuiApplication::clipboard()->clear();
    QTest::keyClick(view_.get(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("beta\ngamma"));

    // Across a wrapped row: one line of text, no break where the pane wrapped it.
    const int columns = view_->buffer().columns();
    QVERIFY(columns < 200);
    QTest::mousePress(viewport, Qt::LeftButton, {}, at(columns - 2, 3));
    QMouseEvent across(QEvent::MouseMove, at(2, 4), viewport->mapToGlobal(at(2, 4)), Qt::NoButton,
                       Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &across);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at(2, 4));
    QCOMPARE(view_->selectedText(), QStringLiteral("xxxx"));

    // A plain click clears it; Ctrl+C then leaves the clipboard alone.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at(1, 1));
    QVERIFY(!view_->hasSelection());
    QTest::keyClick(view_.get(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("beta\ngamma"));
}

void TestTerminalView::doubleClickSelectsAWord() {
    view_ = makeView();
    feed(QStringLiteral("see /tmp/some-file.log now\n"));
    const QPoint point(TerminalView::Padding + int(8.5 * view_->characterWidth()),
                       TerminalView::Padding + view_->lineHeight() * 3 / 2);
    QTest::mouseDClick(view_->viewport(), Qt::LeftButton, {}, point);
    QCOMPARE(view_->selectedText(), QStringLiteral("/tmp/some-file.log"));
}

void TestTerminalView::contextMenuCopySelectAllAndOpenLog() {
    view_ = makeView();
    feed(QStringLiteral("\x1b[33mcopy me\x1b[0m please\n"));
    std::unique_ptr<QMenu> menu(view_->createContextMenu());
    QStringList names;
    QHash<QString, QAction*> actions;
    for (QAction* action : menu->actions())
        if (!action->isSeparator()) {
            names << action->text();
            actions[action->text()] = action;
        }
    QCOMPARE(names, (QStringList{QStringLiteral("Copy"), QStringLiteral("Select All"),
                                 QStringLiteral("Open Log File")}));
    QVERIFY(!actions[QStringLiteral("Copy")]->isEnabled());
    QVERIFY(actions[QStringLiteral("Open Log File")]->isEnabled());

    actions[QStringLiteral("Select All")]->trigger();
    QCOMPARE(view_->selectedText(),
             QStringLiteral("🔧 Vantrel Manager initialized\ncopy me please\n"));
    menu.reset(view_->createContextMenu());
    QAction* copy = menu->actions().first();
    QVERIFY(copy->isEnabled());
    QGuiApplication::clipboard()->clear();
    copy->trigger();
    const QString copied = QGuiApplication::clipboard()->text();
    QVERIFY(copied.endsWith(QStringLiteral("copy me please\n")));
    QVERIFY(!copied.contains(QLatin1Char('\x1b')) && !copied.contains(QStringLiteral("[33m")));

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    menu.reset(view_->createContextMenu());
    menu->actions().last()->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(manager_->logFilePath())});
    // The viewer finds everything the pane shows.
    QFile log(manager_->logFilePath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(log.readAll()).contains(QStringLiteral("me\x1b[0m please\n")));

    // A right click pops the same menu up.
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                            view_->viewport()->mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(view_->viewport(), &event);
    QTRY_VERIFY(qobject_cast<QMenu*>(QApplication::activePopupWidget()));
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QCOMPARE(popup->actions().size(), 4);
    popup->close();
}

void TestTerminalView::destroyedWithOutputPending() {
    view_ = makeView();
    manager_->outputHandler(QStringLiteral("queued for a view that goes away\n"));
    QTRY_VERIFY(manager_->output().endsWith(QStringLiteral("goes away\n")));
    view_.reset(); // the model's delivery and the view's refresh are still queued
    manager_->outputHandler(QStringLiteral("and more\n"));
    QTRY_VERIFY(manager_->output().endsWith(QStringLiteral("and more\n")));
}

HALVANE_TEST_WIDGETS_MAIN(TestTerminalView)
#include "tst_terminalview.moc"
