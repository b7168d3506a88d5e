#include "ConsoleCapture.h"
#include "InstallerViewModel.h"
#include "SupervisorSandbox.h"
#include "TerminalLines.h"
#include "TerminalSearch.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "TestEnvironment.h"
#include "TestHttps.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// Takes the addresses the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
    Q_INVOKABLE void open(const QUrl& url) { opened.append(url); }
};

// Terminal output as programs write it, at random: text with carriage returns, long lines and
// multi-byte characters, and one escape in `escapeOneIn` pieces: colours, erasing, escapes of
// every kind (some left open across line breaks, one open past its bound). Rare escapes make
// what a skip carries over show in many lines.
QString randomOutput(QRandomGenerator& random, int pieces, int escapeOneIn) {
    static const QStringList text = {u"\r"_s, u"\n"_s,          u"\n"_s,   u"\r\n"_s,
                                     u"\b"_s, u"\t"_s,          u"é"_s,    u"🔧"_s,
                                     u"€ "_s, u"progress 4%"_s, u"word "_s};
    static const QStringList escapes = {u"\x1b[31m"_s,
                                        u"\x1b[1;4;38;5;208m"_s,
                                        u"\x1b[38;2;1;2;3;48;5;17m"_s,
                                        u"\x1b[0m"_s,
                                        u"\x1b[7;2m"_s,
                                        u"\x1b[m"_s,
                                        u"\x1b[K"_s,
                                        u"\x1b[1K"_s,
                                        u"\x1b[2K"_s,
                                        u"\x1b]0;title\a"_s,
                                        u"\x1b]8;;https://127.0.0.1/"_s,
                                        u"\x1b[3"_s,
                                        u"\x1b[3A"_s,
                                        u"\x1b[2;5H"_s,
                                        u"\x1b7"_s,
                                        u"\x1b8"_s,
                                        u"\x1b[J"_s,
                                        u"\x1b[2J"_s,
                                        u"\x1b[4D\x1b[2P"_s,
                                        u"\x1b("_s,
                                        u"\u009b32m"_s,
                                        u"\u009d0;t\u009c"_s,
                                        u"\x1bP"_s + QString(5000, u'q')};
    QString output;
    for (int i = 0; i < pieces; ++i) {
        if (random.bounded(escapeOneIn) == 0)
            output += escapes.at(random.bounded(escapes.size()));
        else if (random.bounded(40) == 0)
            output += QString(random.bounded(4000), QChar(u'a' + i % 26));
        else
            output += text.at(random.bounded(text.size()));
    }
    return output;
}
} // namespace

// The view (offscreen) and the view models, on a real supervisor.
// Stands in for the desktop's file viewer: keeps what the file held when it was opened.
class LogViewer : public QObject {
    Q_OBJECT
public:
    QByteArray seen;
public Q_SLOTS:
    void open(const QUrl& url) {
        QFile file(url.toLocalFile());
        if (file.open(QIODevice::ReadOnly))
            seen = file.readAll();
    }
};

class TestDisplay : public QObject {
    Q_OBJECT

    ConsoleCapture console_; // the supervisor echoes every chunk
    std::unique_ptr<SupervisorSandbox> sandbox_;
    std::unique_ptr<TerminalView> view_;

    VantrelManager& manager() { return sandbox_->manager(); }
    void makeView() {
        view_ = std::make_unique<TerminalView>(new TerminalViewModel(&manager()));
        QSignalSpy reset(view_->model(), &TerminalViewModel::outputReset);
        view_->resize(640, 420);
        view_->show();
        QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
        QTRY_COMPARE(reset.count(), 1);
    }
    void feed(const QString& text) {
        QSignalSpy appended(view_->model(), &TerminalViewModel::outputAppended);
        manager().outputHandler(text);
        QTRY_VERIFY(!appended.isEmpty() && appended.last().first().toString().endsWith(text));
    }
    QString topLine() const {
        const int y = std::max(0, view_->verticalScrollBar()->value() - TerminalView::Padding);
        return view_->buffer()
            .line(view_->layout().lineAtRow(y / view_->lineHeight()))
            .text.toString();
    }

private Q_SLOTS:
    void init() { sandbox_ = std::make_unique<SupervisorSandbox>(); }
    void cleanup() {
        view_.reset(); // its model holds on to the supervisor
        sandbox_.reset();
    }

    // Output the tail would push out before the window got to it is skipped, not parsed: what
    // is kept must be exactly what a full parse keeps, styles and all, whether the text came
    // in few pieces or many, with hand-overs in between or none; the log file keeps it all.
    void skippingShowsWhatAFullParseShows() {
        // The last: lines, then a display redrawn over the last of them many times. A skip
        // that counted its line breaks as new lines would lose the lines above the display.
        const QString redrawn = numbered(u"line"_s, 200) + u"\x1b[3Aa\nb\nc\n"_s.repeated(300);
        for (quint32 seed = 1; seed <= 13; ++seed) {
            QRandomGenerator random(seed);
            SupervisorSandbox sandbox;
            sandbox.options.retainedLines = 20 + random.bounded(60);
            sandbox.options.retainedChars = 2000 + random.bounded(6000);
            VantrelManager& m = sandbox.manager();
            const QString initial = m.output();
            qsizetype kept = 0;
            connect(&m, &VantrelManager::outputAppended, this,
                    [&](const QString& batch) { kept += batch.size(); });
            const QString output =
                seed == 13 ? redrawn : randomOutput(random, 3000, seed % 2 ? 4 : 300);
            const bool skipping = seed % 3 != 0;
            for (qsizetype at = 0; at < output.size();) {
                qsizetype length =
                    std::min<qsizetype>(1 + random.bounded(3000), output.size() - at);
                if (output.at(at + length - 1).isHighSurrogate())
                    ++length; // the reader hands on whole characters
                m.outputHandler(output.sliced(at, length));
                at += length;
                if (!skipping || random.bounded(50) == 0)
                    QVERIFY(sandbox.settled(m));
            }
            QVERIFY(sandbox.settled(m));
            // Output that may move the cursor up is never skipped: with one escape in four pieces,
            // hardly anything is.
            QVERIFY(skipping ? kept < output.size() || seed % 2 : kept == output.size());

            TerminalBuffer whole({.maxLines = sandbox.options.retainedLines,
                                  .maxChars = sandbox.options.retainedChars});
            whole.append(initial + output);
            const TerminalBuffer& tail = m.outputLog().tail();
            QCOMPARE(tail.lineCount(), whole.lineCount());
            for (qsizetype i = 0; i < whole.lineCount(); ++i) {
                QCOMPARE(tail.line(i).text.toString(), whole.line(i).text.toString());
                QCOMPARE(runsOf(tail.line(i)), runsOf(whole.line(i)));
            }
            QCOMPARE(tail.cursorColumn(), whole.cursorColumn());
            QCOMPARE(sandbox.logText(), initial + output);
        }
    }

    void followsTheEndUnlessScrolledUp() {
        sandbox_->options.retainedLines = 400;
        makeView();
        QScrollBar* bar = view_->verticalScrollBar();
        feed(numbered(u"row"_s, 380));
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());

        // Scrolled up by the user: the same line stays at the top, through new output and
        // through the oldest lines being dropped, through a new width.
        bar->setValue(bar->value() - 300); // as a wheel or a drag does
        const QString top = topLine();
        feed(numbered(u"later"_s, 100));
        QTRY_VERIFY(view_->hasNewOutputWaiting());
        QCOMPARE(topLine(), top);
        QVERIFY(view_->buffer().firstLineNumber() > 0 && bar->value() < bar->maximum());
        const int columns = view_->layout().columns();
        view_->resize(1000, 420); // re-wraps every line
        QTRY_VERIFY(view_->layout().columns() > columns);
        QCOMPARE(topLine(), top);
        QCOMPARE(view_->horizontalScrollBar()->maximum(), 0);

        QTest::keyClick(view_.get(), Qt::Key_End);
        QVERIFY(view_->isFollowing() && !view_->hasNewOutputWaiting());
        const QString before = topLine();
        feed(u"after\n"_s);
        QTRY_VERIFY(topLine() != before && bar->value() == bar->maximum());
    }

    void linksShowWhereTheyGoBeforeOpening() {
        makeView();
        UrlCatcher catcher;
        for (const QString& scheme : {u"https"_s, u"file"_s})
            QDesktopServices::setUrlHandler(scheme, &catcher, "open");
        const QString url = u"https://127.0.0.1/docs"_s;
        feed(u"see \x1b]8;;%1\x1b\\the docs\x1b]8;;\x1b\\ or "
             "\x1b]8;;file:///etc/passwd\a\x1b[1mthis\x1b]8;;\a\n"_s.arg(url));
        const qint64 line = view_->buffer().endPosition().line - 1;
        for (const auto& [column, expected] :
             {std::pair{3, QString()}, {4, url}, {11, url}, {12, QString()}, {17, QString()}})
            QCOMPARE(view_->linkAt({line, column}), expected);

        // A click shows the address; only agreeing opens it.
        view_->reveal({line, 5});
        const QPoint at(
            TerminalView::Padding + int(5.5 * view_->characterWidth()),
            int(TerminalView::Padding +
                (view_->layout().firstRowOf(qsizetype(line - view_->buffer().firstLineNumber())) +
                 0.5) *
                    view_->lineHeight()) -
                view_->verticalScrollBar()->value());
        QTest::mouseClick(view_->viewport(), Qt::LeftButton, {}, at);
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = view_->findChild<QMessageBox*>()));
        QCOMPARE(box->informativeText(), url);
        QVERIFY(catcher.opened.isEmpty());
        box->button(QMessageBox::Open)->click();
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(url)});

        // From the keyboard: the context menu offers the link where the current match is.
        QSignalSpy found(view_->search(), &TerminalSearch::finished);
        view_->search()->setPattern(u"docs"_s, Qt::CaseSensitive, view_->buffer().endPosition());
        QTRY_COMPARE(found.count(), 1);
        QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                   view_->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(view_->viewport(), &keyboard);
        QMenu* menu = nullptr;
        QTRY_VERIFY((menu = view_->findChild<QMenu*>()));
        QCOMPARE(menu->actions().first()->text(), u"Open Link…"_s);
        menu->actions().first()->trigger();
        QTRY_VERIFY((box = view_->findChild<QMessageBox*>()));
        box->button(QMessageBox::Cancel)->click();
        QCOMPARE(catcher.opened.size(), 1);
        for (const QString& scheme : {u"https"_s, u"file"_s})
            QDesktopServices::unsetUrlHandler(scheme);
    }

    void paintsSelectsAndCopies() {
        makeView();
        const QString block(6, QChar(0x2588));
        const QString wrapped = QString(200, u'x') + u"yz\n"_s;
        feed(block + u"\n\x1b[31m"_s + block + u"\n\x1b[0;48;5;21m      \n\x1b[38;2;250;100;0m"_s +
             block + u"\n\x1b[0;1malpha\x1b[0m beta\ngamma delta\n"_s + wrapped);
        const QImage image = view_->viewport()->grab().toImage();
        QHash<QRgb, int> pixels;
        for (int i = 0; i < image.width() * image.height(); ++i)
            ++pixels[image.pixel(i % image.width(), i / image.width())];
        QVERIFY(pixels.value(qRgb(0, 0, 0)) > image.width() * image.height() * 3 / 4);
        for (QRgb colour : {qRgb(0, 255, 0), xtermColor(1), xtermColor(21), qRgb(250, 100, 0)})
            QVERIFY2(pixels.value(colour | 0xff000000) > 40, qPrintable(QColor(colour).name()));

        const TerminalBuffer& buffer = view_->buffer();
        const qsizetype first = buffer.lineCount() - 4;
        QTRY_COMPARE(view_->verticalScrollBar()->maximum(), 0);
        const auto at = [&](qsizetype line, int row, int column) {
            return QPoint(TerminalView::Padding + int((column + 0.1) * view_->characterWidth()),
                          TerminalView::Padding + view_->lineHeight() / 2 +
                              int(view_->layout().firstRowOf(line) + row) * view_->lineHeight());
        };
        const auto drag = [&](QPoint from, QPoint to) {
            QTest::mousePress(view_->viewport(), Qt::LeftButton, {}, from);
            QTest::mouseMove(view_->viewport(), to);
            QTest::mouseRelease(view_->viewport(), Qt::LeftButton, {}, to);
        };
        drag(at(first, 0, 6), at(first + 1, 0, 5));
        QCOMPARE(view_->selectedText(), u"beta\ngamma"_s);
        QTest::keyClick(view_.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), u"beta\ngamma"_s);

        // Across the row where the pane wrapped a line: no line break in the copy.
        drag(at(first + 2, 0, view_->layout().columns() - 2), at(first + 2, 1, 2));
        QCOMPARE(view_->selectedText(), u"xxxx"_s);

        view_->selectAll();
        view_->copy();
        const QString copied = QGuiApplication::clipboard()->text();
        QVERIFY(copied.endsWith(u"alpha beta\ngamma delta\n"_s + wrapped));
        QVERIFY(!copied.contains(u'\x1b'));

        // Open Log File hands the file over once it holds everything written before.
        LogViewer viewer;
        QDesktopServices::setUrlHandler(u"file"_s, &viewer, "open");
        const auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler(u"file"_s); });
        manager().outputHandler(u"last words\n"_s);
        view_->createContextMenu(view_.get())->actions().constLast()->trigger();
        QVERIFY(viewer.seen.isEmpty()); // not inside the call
        QTRY_VERIFY(viewer.seen.endsWith("last words\n"));
    }

    void readableThroughAccessibility() {
        sandbox_->options.retainedLines = 30;
        makeView();
        feed(numbered(u"early"_s, 40) + u"🔧🔧\n\x1b[31mred\x1b[0m plain "_s + QString(150, u'w') +
             u"\nlast 🔧 words"_s);
        const TerminalBuffer& buffer = view_->buffer();
        QAccessibleInterface* view = QAccessible::queryAccessibleInterface(view_.get());
        QVERIFY(view && view->role() == QAccessible::Terminal && view->textInterface());
        QCOMPARE(view->text(QAccessible::Name), u"CLI output"_s);
        QAccessibleTextInterface* text = view->textInterface();
        const QString all = buffer.text({}, buffer.endPosition());
        QVERIFY(buffer.firstLineNumber() > 0); // the oldest lines were trimmed
        // Offsets count characters, as AT-SPI does: an emoji is one, not two UTF-16 units.
        const int count = int(all.toUcs4().size()),
                  red = int(all.first(all.indexOf(u"red"_s)).toUcs4().size());
        QCOMPARE(text->characterCount(), count);
        QCOMPARE(text->text(0, count), all);
        QCOMPARE(text->text(red - 3, red + 3), u"🔧🔧\nred"_s);
        int start = 0, end = 0;
        QCOMPARE(text->textAtOffset(red + 100, QAccessible::LineBoundary, &start, &end),
                 u"red plain "_s + QString(150, u'w') + u'\n');
        QCOMPARE(start, red);
        QCOMPARE(text->textAtOffset(red + 5, QAccessible::WordBoundary, &start, &end), u"plain"_s);
        QCOMPARE(text->textBeforeOffset(red, QAccessible::LineBoundary, &start, &end), u"🔧🔧\n"_s);
        QCOMPARE(std::pair(start, end), std::pair(red - 3, red));
        // Selection both ways, and characters where the pane draws them, also on a wrapped row.
        text->setSelection(0, red, red + 9);
        QCOMPARE(view_->selectedText(), u"red plain"_s);
        view_->selectAll();
        text->selection(0, &start, &end);
        QCOMPARE(std::pair(start, end), std::pair(0, count));
        for (int offset : {0, red + 4, red + 150, count - 1}) {
            text->scrollToSubstring(offset, offset + 1);
            const QRect rect = text->characterRect(offset);
            QVERIFY(view_->viewport()->rect().contains(
                view_->viewport()->mapFromGlobal(rect.center())));
            QCOMPARE(text->offsetAtPoint(rect.topLeft() + QPoint(1, rect.height() / 2)), offset);
        }
        // Offsets follow lines added and trimmed since the last question.
        feed(numbered(u"late"_s, 10));
        QCOMPARE(text->text(0, -1), buffer.text({}, buffer.endPosition()));
        QCOMPARE(
            text->textAtOffset(text->characterCount() - 3, QAccessible::LineBoundary, &start, &end),
            u"late 9\n"_s);
        // A line drawn over reads as drawn.
        feed(u"\x1b[3A\x1b[2Kredrawn\n\n\n"_s);
        QCOMPARE(text->text(0, -1), buffer.text({}, buffer.endPosition()));
        QVERIFY(text->text(0, -1).endsWith(u"late 6\nredrawn\nlate 8\nlate 9\n"_s));
    }

    void modelMatchesTheRetainedLogOnALaterTurn() {
        sandbox_->options.retainedChars = 5000;
        sandbox_->options.retainedLines = 60;
        delete new TerminalViewModel(&manager()); // its first delivery is still queued
        TerminalViewModel model(&manager());
        // Connected after construction: a delivery made inside it would be missed.
        QSignalSpy reset(&model, &TerminalViewModel::outputReset);
        QString received;
        connect(&model, &TerminalViewModel::outputAppended, this,
                [&](const QString& batch) { received += batch; });
        QTRY_COMPARE(reset.count(), 1);
        QCOMPARE(reset.first().first().toString(), manager().output());

        QString sent;
        for (int batch = 0; batch < 40; ++batch) {
            // Enough to trim several times; the last is one line longer than the whole bound.
            const QString text = batch == 39 ? QString(8000, u'L')
                                             : numbered(QString(batch * 3, u'#'), 7 + batch % 5);
            manager().outputHandler(text);
            QCOMPARE(received, sent);
            sent += text;
            QTRY_COMPARE(received, sent);
            QCOMPARE(model.output(), manager().output());
        }

        // Another model, destroyed right after the supervisor queued a batch for it.
        QPointer<TerminalViewModel> doomed = new TerminalViewModel(&manager());
        connect(&manager(), &VantrelManager::outputAppended, this, [doomed] { delete doomed; });
        manager().outputHandler(u"too late\n"_s);
        QTRY_VERIFY(!doomed);
        manager().outputHandler(u"later still\n"_s);
        QTRY_COMPARE(received, sent + u"too late\nlater still\n"_s);
    }

    void installerFollowsTheRealInstallation_data() {
        QTest::addColumn<bool>("served");
        QTest::addColumn<bool>("alreadyRunning"); // the start-up check got there first
        QTest::newRow("installs") << true << false;
        QTest::newRow("follows a download already running") << true << true;
        QTest::newRow("unreachable server") << false << false;
    }
    void installerFollowsTheRealInstallation() {
        QFETCH(bool, served);
        QFETCH(bool, alreadyRunning);
        TestHttps https;
        QVERIFY2(https.error().isEmpty(), qPrintable(https.error()));
        if (served) {
            https.serve("#!/bin/sh\necho installed\n# " + QByteArray(20000, 'p') + "\n");
            https.setMode(DownloadServer::Mode::Slow, 40000); // about half a second
            sandbox_->options.baseURL = QUrl(https.baseUrl());
            sandbox_->options.caCertificates = TestHttps::pki()->caCert;
        }
        InstallerViewModel model(&manager());
        QSignalSpy finished(&manager(), &VantrelManager::installFinished);
        QSignalSpy running(&model, &InstallerViewModel::isRunningChanged);
        if (alreadyRunning)
            manager().installCLI();
        model.startInstall();
        bool busyThroughout = model.isRunning() || !finished.isEmpty();
        connect(&manager(), &VantrelManager::stateChanged, &model, [&] {
            busyThroughout = busyThroughout && (model.isRunning() || !manager().isInstalling());
        });
        model.startInstall(); // while the first runs: nothing
        QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning(), 20000);
        QVERIFY(busyThroughout);
        QCOMPARE(running.count(), 2);
        QCOMPARE(finished.count(), 1);
        const QString reason = finished.first().at(1).toString();
        QVERIFY2(finished.first().first().toBool() == served, qPrintable(reason));
        QCOMPARE(QFileInfo(manager().cliPath()).isExecutable(), served);
        if (served)
            QCOMPARE(https.requests().size(), 1);
        else
            QVERIFY2(model.status().contains(reason), qPrintable(model.status()));
    }
};

HALVANE_TEST_WIDGETS_MAIN(TestDisplay)
#include "tst_display.moc"
