#include "Console.h"
#include "DownloadServer.h"
#include "InstallerViewModel.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "TestEnvironment.h"
#include "VantrelManager.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QtTest>

#include <memory>
#include <optional>

namespace {
// What a parser hands its sink: text as written, other events as tokens, a style per character.
struct Transcript : TerminalSink {
    QString events;
    QList<TextStyle> styles;
    void write(QStringView text, const TextStyle& style) override {
        events += text;
        styles.append(QList<TextStyle>(text.size(), style));
    }
    void newLine() override { events += QStringLiteral("<LF>"); }
    void carriageReturn() override { events += QStringLiteral("<CR>"); }
    void backspace() override { events += QStringLiteral("<BS>"); }
    void tab() override { events += QStringLiteral("<HT>"); }
    void eraseInLine(int mode) override { events += QStringLiteral("<EL%1>").arg(mode); }
};

Transcript parsed(QStringView input) {
    Transcript out;
    AnsiParser().feed(input, out);
    return out;
}

constexpr QRgb none = TextStyle::DefaultColor;
TextStyle style(QRgb foreground, QRgb background = none, int flags = 0) {
    return {foreground, background, quint8(flags)};
}

// A chunk may end anywhere, even inside a sequence: every cut must give what one piece gives.
void verifySplitsAgree(const QString& input) {
    const Transcript whole = parsed(input);
    for (qsizetype at = 0; at <= input.size() && input.size() < 1000; ++at) {
        Transcript out;
        AnsiParser parser;
        parser.feed(QStringView(input).first(at), out);
        parser.feed(QStringView(input).sliced(at), out);
        QVERIFY2(out.events == whole.events && out.styles == whole.styles,
                 qPrintable(QStringLiteral("split at %1").arg(at)));
    }
}

QString u(const char16_t* text) {
    return QString::fromUtf16(text);
}

QString lines(const TerminalBuffer& buffer) {
    QStringList out;
    for (qsizetype i = 0; i < buffer.lineCount(); ++i)
        out << buffer.line(i).text;
    return out.join(u'|');
}

QString numbered(const QString& word, int count) {
    QString text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("%1 %2\n").arg(word).arg(i);
    return text;
}
} // namespace

// Parser, line store, view (offscreen) and view models, on a real supervisor.
class TestDisplay : public QObject {
    Q_OBJECT

    QTemporaryDir pkiDir_;
    std::optional<TestPki> pki_;
    SupervisorOptions options_;
    std::unique_ptr<DownloadServer> server_;
    std::unique_ptr<VantrelManager> manager_;
    std::unique_ptr<TerminalView> view_;

    VantrelManager& manager() {
        if (!manager_)
            manager_ = std::make_unique<VantrelManager>(options_);
        return *manager_;
    }
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
        return view_->buffer().line(view_->buffer().lineAtRow(y / view_->lineHeight())).text;
    }

private Q_SLOTS:
    void initTestCase() {
        Console::setSink([](const QString&) {}); // the supervisor echoes every chunk
        QString error;
        pki_ = TestPki::create(pkiDir_.path(), &error);
        QVERIFY2(pki_, qPrintable(error));
    }
    void init() {
        // A folder of its own in the process's private home; its name is the sweep's pattern.
        const QString id =
            QStringLiteral("halvane-display-") + QUuid::createUuid().toString(QUuid::Id128);
        options_ = {};
        options_.stateDir = options_.logDir = QDir::homePath() + u'/' + id;
        options_.installDir = options_.stateDir + QStringLiteral("/bin");
        options_.baseURL = QUrl(QStringLiteral("https://127.0.0.1:1/static/cli")); // refused
        options_.caCertificates = pki_->caCert;
        options_.sweepPattern = id;
        QDir().mkpath(options_.installDir); // installCLI() alone does not create it
    }
    void cleanup() {
        view_.reset();
        if (manager_)
            manager_->cleanup();
        manager_.reset();
        server_.reset();
    }

    void selectGraphicRendition_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<TextStyle>("expected"); // of the last character, 'X'
        const auto row = [](const char* name, const char16_t* input, TextStyle expected) {
            QTest::newRow(name) << u(input) << expected;
        };
        row("16 colours", u"\x1b[31;42mX", style(xtermColor(1), xtermColor(2)));
        row("16 colours, bright", u"\x1b[91;103mX", style(xtermColor(9), xtermColor(11)));
        row("256", u"\x1b[38;5;208;48;5;244mX", style(xtermColor(208), xtermColor(244)));
        row("256, colon form", u"\x1b[38:5:21mX", style(xtermColor(21)));
        row("256 out of range is ignored", u"\x1b[32m\x1b[38;5;300mX", style(xtermColor(2)));
        row("truecolour", u"\x1b[38;2;10;20;30;48;2;255;128;0mX",
            style(qRgb(10, 20, 30), qRgb(255, 128, 0)));
        row("truecolour, colon form, clamped", u"\x1b[38:2::1:2:300mX", style(qRgb(1, 2, 255)));
        row("attributes after a 256 colour", u"\x1b[38;5;16;1;4mX",
            style(xtermColor(16), none, TextStyle::Bold | TextStyle::Underline));
        row("attributes", u"\x1b[2;3;7mX",
            style(none, none, TextStyle::Dim | TextStyle::Italic | TextStyle::Inverse));
        row("0 and empty SGR reset", u"\x1b[1;4;31;42mA\x1b[0m\x1b[7;33mB\x1b[mX", style(none));
        row("22, 39 and 49 end bold and dim, colours", u"\x1b[1;2;3;31;44mA\x1b[22;39;49mX",
            style(none, none, TextStyle::Italic));
        row("underline style 0 is none", u"\x1b[4m\x1b[4:0mX", style(none));
        row("a private marker is no SGR", u"\x1b[32m\x1b[>4;2mX", style(xtermColor(2)));
        row("ESC c resets", u"\x1b[1;31mA\033cX", style(none));
    }
    void selectGraphicRendition() {
        QFETCH(QString, input);
        QFETCH(TextStyle, expected);
        const Transcript out = parsed(input);
        QVERIFY2(out.events.endsWith(u'X') && !out.events.contains(u'['), qPrintable(out.events));
        QVERIFY(out.styles.last() == expected);
        verifySplitsAgree(input);
    }

    void foreignSequencesAndControls_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("events");
        const auto row = [](const char* name, const QString& input, const char* events) {
            QTest::newRow(name) << input << QString::fromUtf8(events);
        };
        // Octal and \u escapes where a hex one would swallow the next letter.
        row("line controls", u(u"a\nb\vc\fd\r2\b3\t4"), "a<LF>b<LF>c<LF>d<CR>2<BS>3<HT>4");
        row("erase in line", u(u"\x1b[K\x1b[0K\x1b[1K\x1b[2K\x1b[3K"), "<EL0><EL0><EL1><EL2>");
        row("cursor, display, modes", u(u"a\x1b[5A\x1b[2;10H\x1b[2J\x1b[?25l\x1b[2 qb"), "ab");
        row("OSC, BEL or ST", u(u"\x1b]0;title\aa\x1b]8;;https://127.0.0.1/\x1b\\b"), "ab");
        row("DCS, PM and APC", u(u"\x1bP1$r0m\x1b\\\x1b^pm\x1b\\\x1b_apc\x1b\\ok"), "ok");
        row("charset, keypad, save cursor", u(u"\x1b(B\x1b=\0337ok\0338"), "ok");
        row("C1 CSI and OSC", u(u"\u009b2Jok\u009d0;t\u009c!"), "ok!");
        row("other controls draw nothing", u(u"a\001\a\016\177\u0085b"), "ab");
        row("a control inside CSI still acts", u(u"\x1b[3\n1mX"), "<LF>X");
        row("ESC, CAN and SUB abort", u(u"\x1b[31\x1b[32mA\x1b[1\030B\x1b]0;t\032X"), "ABX");
        row("non-BMP text", u(u"\x1b[32m🔧 ok"), "🔧 ok");
        row("long open OSC", u(u"\x1b]0;") + QString(100000, u't') + u(u"\aafter"), "after");
        row("huge parameters",
            u(u"\x1b[") + QStringLiteral("1;").repeated(200) + u(u"31mX\x1b[99999999999999mY"),
            "XY");
    }
    void foreignSequencesAndControls() {
        QFETCH(QString, input);
        QFETCH(QString, events);
        QCOMPARE(parsed(input).events, events);
        verifySplitsAgree(input);
    }

    void lineEditing_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("lines"); // joined by '|'
        const auto row = [](const char* name, const char16_t* input, const char* lines) {
            QTest::newRow(name) << u(input) << QString::fromUtf8(lines);
        };
        row("progress redrawn, CR LF", u"[##   ]  40%\r[#####] 100%\r\nok\r\n", "[#####] 100%|ok|");
        row("a shorter rewrite leaves the rest", u"downloading 10%\rdone\n", "doneloading 10%|");
        row("rewrite and erase the rest", u"downloading 10%\rdone\x1b[K\n", "done|");
        row("backspace, also at the start", u"\bab\bc\n", "ac|");
        row("tab", u"x\ty\n", "x       y|");
        row("tab over text only moves", u"abcdefghij\r\tX\n", "abcdefghXj|");
        row("erase to the cursor", u"hello\r\x1b[1K\n", " ello|");
        row("erase the line, keep the column", u"hello\x1b[2Kab\n", "     ab|");
        row("backspace over a surrogate pair", u"a🔧\b\bX\n", "X🔧|");
        row("overwrite half a surrogate pair", u"🔧 10%\rX\n", "X  10%|");
        row("tab stop inside a surrogate pair", u"abcdefg🔧 tab\r\tY\n", "abcdefg Y tab|");
        row("escapes never land in the text", u"\x1b[1;32mok\x1b[0m \x1b]0;t\adone\n", "ok done|");
    }
    void lineEditing() {
        QFETCH(QString, input);
        QFETCH(QString, lines);
        TerminalBuffer buffer;
        buffer.append(input);
        QCOMPARE(::lines(buffer), lines);
        QCOMPARE(buffer.charCount(), lines.size() - (buffer.lineCount() - 1));
    }

    void overwritingKeepsTheStylesOfWhatIsLeft() {
        TerminalBuffer buffer;
        buffer.append(u"\x1b[31mAAAA\x1b[34mBBBB\r\x1b[32mCC\x1b[0m\b\x1b[1mD");
        QCOMPARE(buffer.line(0).text, QStringLiteral("CDAABBBB"));
        const QRgb red = xtermColor(1), green = xtermColor(2), blue = xtermColor(4);
        QVERIFY(
            buffer.line(0).runs ==
            (QList<StyledRun>{
                {0, style(green)}, {1, style(none, none, 1)}, {2, style(red)}, {4, style(blue)}}));
    }

    void boundedAndTrimmedByWholeLines() {
        TerminalBuffer buffer({.maxLines = 50, .maxChars = 2000});
        const TextPosition kept{3, 0};
        for (int i = 0; i < 500; ++i) {
            // Lengths vary, so sometimes one bound bites and sometimes the other.
            buffer.append(QStringLiteral("line %1 \x1b[32m%2\n").arg(i).arg(QString(i % 97, u'g')));
            QVERIFY(buffer.lineCount() <= 50 && buffer.charCount() <= 2000);
            QVERIFY(buffer.line(0).text.startsWith(QStringLiteral("line ")));
            // A line number keeps naming its line while older ones are dropped.
            if (i > kept.line && buffer.firstLineNumber() <= kept.line)
                QCOMPARE(buffer.text(kept, {kept.line, 6}), QStringLiteral("line 3"));
        }
        QVERIFY(buffer.firstLineNumber() > 400);
        QCOMPARE(buffer.clamped(kept), (TextPosition{buffer.firstLineNumber(), 0}));
        QVERIFY(lines(buffer).endsWith(QStringLiteral("line 499 ") + QString(14, u'g') + u'|'));

        // One endless line is broken, so it cannot escape the character bound.
        TerminalBuffer endless({.maxChars = 10000, .maxLineChars = 1000});
        for (int i = 0; i < 100; ++i) {
            endless.append(QString(4096, u'z'));
            QVERIFY(endless.charCount() <= 10000 && endless.line(0).text.size() <= 1000);
        }
        QVERIFY(endless.charCount() > 9000);
    }

    void wrappingStaysConsistentThroughResizeAndTrim() {
        TerminalBuffer buffer({.maxLines = 40});
        buffer.setColumns(10);
        buffer.append(QString(25, u'w') + QStringLiteral("\n\n") + QString(10, u'x') + u'\n');
        QCOMPARE(buffer.rowCount(), 3 + 1 + 1); // the empty line after the break is no row yet
        buffer.append(QString(15, u'p'));
        QCOMPARE(buffer.rowCount(), 5 + 2);
        for (int i = 0; i < 100; ++i)
            buffer.append(QString(i % 23, QChar(u'a' + i % 26)) + u'\n');
        for (int columns : {7, 1, 13, 80, 3}) {
            buffer.setColumns(columns);
            qint64 rows = 0;
            for (qsizetype i = 0; i < buffer.shownLineCount(); ++i) {
                const qsizetype length = buffer.line(i).text.size();
                QCOMPARE(buffer.firstRowOf(i), rows);
                QCOMPARE(buffer.lineAtRow(rows), i);
                QVERIFY(buffer.rowsOf(i) * columns >= std::max<qsizetype>(length, 1) &&
                        (buffer.rowsOf(i) - 1) * columns < std::max<qsizetype>(length, 1));
                rows += buffer.rowsOf(i);
            }
            QCOMPARE(buffer.rowCount(), rows);
            buffer.append(QStringLiteral("more text that trims\n"));
        }
    }

    void paintsColours() {
        makeView();
        const QString block(6, QChar(0x2588));
        feed(block + u(u"\n\x1b[31m") + block + u(u"\n\x1b[0;48;5;21m      \n\x1b[0m") +
             u(u"\x1b[38;2;250;100;0m") + block + u'\n');
        const QImage image = view_->viewport()->grab().toImage();
        QHash<QRgb, int> pixels;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                ++pixels[image.pixel(x, y)];
        QVERIFY(pixels.value(qRgb(0, 0, 0)) > image.width() * image.height() * 3 / 4);
        for (QRgb colour : {qRgb(0, 255, 0), xtermColor(1), xtermColor(21), qRgb(250, 100, 0)})
            QVERIFY2(pixels.value(colour | 0xff000000) > 40,
                     qPrintable(QString::number(colour, 16)));
    }

    void followsTheEndUnlessScrolledUp() {
        options_.retainedLines = 400;
        makeView();
        QScrollBar* bar = view_->verticalScrollBar();
        feed(numbered(QStringLiteral("row"), 380));
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());

        // Scrolled up by the user: the same line stays at the top, through new output and
        // through the oldest lines being dropped, through a new width.
        bar->setValue(bar->value() - 300); // as a wheel or a drag does
        QVERIFY(!view_->isFollowing());
        const QString top = topLine();
        feed(numbered(QStringLiteral("later"), 100));
        QTRY_VERIFY(view_->hasNewOutputWaiting());
        QVERIFY(view_->buffer().firstLineNumber() > 0);
        QCOMPARE(topLine(), top);
        QVERIFY(bar->value() < bar->maximum());
        const int columns = view_->buffer().columns();
        view_->resize(1000, 420); // re-wraps every line
        QTRY_VERIFY(view_->buffer().columns() > columns);
        QCOMPARE(topLine(), top);
        QCOMPARE(view_->horizontalScrollBar()->maximum(), 0);

        QTest::keyClick(view_.get(), Qt::Key_End);
        QVERIFY(view_->isFollowing() && !view_->hasNewOutputWaiting());
        const QString before = topLine();
        feed(QStringLiteral("after\n"));
        QTRY_VERIFY(topLine() != before);
        QCOMPARE(bar->value(), bar->maximum());
    }

    void selectionAndCopy() {
        makeView();
        const QString wrapped = QString(200, u'x') + QStringLiteral("yz\n");
        feed(u(u"\x1b[1malpha\x1b[0m beta\ngamma delta\n") + wrapped);
        const TerminalBuffer& buffer = view_->buffer();
        const qsizetype first = buffer.lineCount() - 4;
        QTRY_COMPARE(view_->verticalScrollBar()->maximum(), 0);
        const auto at = [&](qsizetype line, int row, int column) {
            return QPoint(TerminalView::Padding + int((column + 0.1) * view_->characterWidth()),
                          TerminalView::Padding + view_->lineHeight() / 2 +
                              int(buffer.firstRowOf(line) + row) * view_->lineHeight());
        };
        const auto drag = [&](QPoint from, QPoint to) {
            QTest::mousePress(view_->viewport(), Qt::LeftButton, {}, from);
            QTest::mouseMove(view_->viewport(), to);
            QTest::mouseRelease(view_->viewport(), Qt::LeftButton, {}, to);
        };
        drag(at(first, 0, 6), at(first + 1, 0, 5));
        QCOMPARE(view_->selectedText(), QStringLiteral("beta\ngamma"));
        QTest::keyClick(view_.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("beta\ngamma"));

        // Across the row where the pane wrapped a line: no line break in the copy.
        drag(at(first + 2, 0, buffer.columns() - 2), at(first + 2, 1, 2));
        QCOMPARE(view_->selectedText(), QStringLiteral("xxxx"));

        view_->selectAll();
        view_->copy();
        const QString copied = QGuiApplication::clipboard()->text();
        QVERIFY(copied.endsWith(QStringLiteral("alpha beta\ngamma delta\n") + wrapped));
        QVERIFY(!copied.contains(u'\x1b'));
    }

    void modelMatchesTheRetainedLogOnALaterTurn() {
        options_.retainedChars = 5000;
        options_.retainedLines = 60;
        TerminalViewModel model(&manager());
        // Connected after construction: a delivery made inside it would be missed.
        QSignalSpy reset(&model, &TerminalViewModel::outputReset);
        QString received;
        connect(&model, &TerminalViewModel::outputAppended, this,
                [&](const QString& batch) { received += batch; });
        QTRY_COMPARE(reset.count(), 1);
        QCOMPARE(reset.first().first().toString(), manager().output());
        QCOMPARE(model.output(), manager().output());

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
    }

    void modelDestroyedWithADeliveryQueued() {
        delete new TerminalViewModel(&manager()); // its first delivery is still queued
        QPointer<TerminalViewModel> model = new TerminalViewModel(&manager());
        // Runs right after the supervisor queued a batch for the model.
        connect(&manager(), &VantrelManager::outputAppended, this, [&] { delete model.data(); });
        manager().outputHandler(QStringLiteral("too late\n"));
        QTRY_VERIFY(!model);
        disconnect(&manager(), &VantrelManager::outputAppended, this, nullptr);
        manager().outputHandler(QStringLiteral("later still\n"));
        QTRY_VERIFY(manager().output().endsWith(QStringLiteral("later still\n")));
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
        if (served) {
            server_ = std::make_unique<DownloadServer>(pki_->serverConfiguration());
            QVERIFY(server_->listen());
            server_->setAsset(VantrelManager::assetName(),
                              "#!/bin/sh\necho installed\n# " + QByteArray(20000, 'p') + "\n");
            server_->setMode(DownloadServer::Mode::Slow, 40000); // about half a second
            options_.baseURL = QUrl(server_->baseUrl());
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
            QCOMPARE(server_->requests().size(), 1);
        else
            QVERIFY2(model.status().contains(reason), qPrintable(model.status()));
    }
};

HALVANE_TEST_WIDGETS_MAIN(TestDisplay)
#include "tst_display.moc"
