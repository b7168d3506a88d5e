#include "InstallerViewModel.h"
#include "TerminalBuffer.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "TestEnvironment.h"
#include "VantrelManager.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QImage>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QString allText(const TerminalBuffer& buffer) {
    return buffer.text({buffer.firstLineNumber(), 0}, buffer.endPosition());
}

// The style of the character at `column` of line `index`.
TextStyle styleAt(const TerminalBuffer& buffer, qsizetype index, int column) {
    TextStyle style;
    for (const StyledRun& run : buffer.line(index).runs)
        if (run.start <= column)
            style = run.style;
    return style;
}

SupervisorOptions optionsIn(const QTemporaryDir& dir) {
    SupervisorOptions options;
    options.installDir = dir.path() + QStringLiteral("/bin");
    options.stateDir = dir.path() + QStringLiteral("/state");
    options.logDir = options.stateDir;
    // Nothing listens on port 1: a download fails at once.
    options.baseURL = QUrl(QStringLiteral("https://127.0.0.1:1/static/cli"));
    options.sweepPattern = QStringLiteral("halvane-display-test-nothing");
    QDir().mkpath(options.installDir);
    return options;
}

int countPixels(const QImage& image, QRgb colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += (image.pixel(x, y) & 0xffffff) == (colour & 0xffffff);
    return count;
}
} // namespace

class TestDisplay : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void colourAndAttributesFromSgr();
    void sequencesSplitAcrossChunks();
    void otherEscapesAndControlsLeaveNoText();
    void carriageReturnBackspaceAndTab();
    void bufferStaysBoundedAndWraps();

    void viewPaintsColoursOnBlack();
    void scrolledUpViewKeepsItsPlace();
    void selectAllCopiesPlainText();

    void viewModelTakesRetainedLogThenBatches();
    void installerReportsRealFailureAndIgnoresSecondRequest();
};

void TestDisplay::colourAndAttributesFromSgr() {
    TerminalBuffer buffer;
    buffer.append(u"\x1b[31mred\x1b[0m \x1b[1;4mbold\x1b[22;24m \x1b[38;5;196mA\x1b[38;2;1;2;3mB"
                  u"\x1b[7mI\x1b[m.\n");
    QCOMPARE(buffer.line(0).text, QStringLiteral("red bold ABI."));
    QCOMPARE(styleAt(buffer, 0, 0).foreground, xtermColor(1));
    QVERIFY(styleAt(buffer, 0, 3).isDefault());
    QVERIFY(styleAt(buffer, 0, 4).has(TextStyle::Bold));
    QVERIFY(styleAt(buffer, 0, 4).has(TextStyle::Underline));
    QVERIFY(!styleAt(buffer, 0, 8).has(TextStyle::Bold));
    QCOMPARE(styleAt(buffer, 0, 9).foreground, xtermColor(196));
    QCOMPARE(styleAt(buffer, 0, 10).foreground & 0xffffff, qRgb(1, 2, 3) & 0xffffff);
    QVERIFY(styleAt(buffer, 0, 11).has(TextStyle::Inverse));
    QVERIFY(styleAt(buffer, 0, 12).isDefault());
}

void TestDisplay::sequencesSplitAcrossChunks() {
    TerminalBuffer buffer;
    for (const char16_t* piece :
         {u"\x1b", u"[", u"3", u"2;", u"1", u"mgo", u"\x1b]0;ti", u"tle\x07!"})
        buffer.append(piece);
    QCOMPARE(buffer.line(0).text, QStringLiteral("go!"));
    QCOMPARE(styleAt(buffer, 0, 0).foreground, xtermColor(2));
    QVERIFY(styleAt(buffer, 0, 0).has(TextStyle::Bold));
}

void TestDisplay::otherEscapesAndControlsLeaveNoText() {
    TerminalBuffer buffer;
    buffer.append(u"\x1b]8;;https://example.invalid\x1b\\link\x1b]8;;\x1b\\ \x1b[5A\x1b[2J\x1b[?25l"
                  u"\x1b(Bend\x01\x07\x7f\n");
    QCOMPARE(buffer.line(0).text, QStringLiteral("link end"));
    QVERIFY(!allText(buffer).contains(QLatin1Char('\x1b')));
}

void TestDisplay::carriageReturnBackspaceAndTab() {
    TerminalBuffer buffer;
    buffer.append(u"[##   ] 40%\r[#####] 100%\nab\bc\nx\ty\n");
    QCOMPARE(buffer.line(0).text, QStringLiteral("[#####] 100%"));
    QCOMPARE(buffer.line(1).text, QStringLiteral("ac"));
    QCOMPARE(buffer.line(2).text, QStringLiteral("x       y"));
}

void TestDisplay::bufferStaysBoundedAndWraps() {
    TerminalBuffer::Limits limits;
    limits.maxLines = 50;
    limits.maxChars = 2000;
    TerminalBuffer buffer(limits);
    for (int i = 0; i < 1000; ++i)
        buffer.append(QStringLiteral("line %1 \x1b[32mgreen\x1b[0m\n").arg(i));
    QVERIFY(buffer.lineCount() <= 51);
    QVERIFY(buffer.charCount() <= 2000);
    QVERIFY(buffer.firstLineNumber() > 900);
    QVERIFY(allText(buffer).contains(QStringLiteral("line 999 green")));

    TerminalBuffer wrapped;
    wrapped.setColumns(10);
    wrapped.append(QString(25, QLatin1Char('w')) + QStringLiteral("\nshort\n"));
    QCOMPARE(wrapped.rowsOf(0), 3);
    QCOMPARE(wrapped.rowCount(), 4);
    wrapped.setColumns(5);
    QCOMPARE(wrapped.rowCount(), 6);
    QCOMPARE(wrapped.lineAtRow(5), 1);
}

void TestDisplay::viewPaintsColoursOnBlack() {
    QTemporaryDir dir;
    VantrelManager manager(optionsIn(dir));
    TerminalView view(new TerminalViewModel(&manager));
    view.resize(640, 420);
    view.show();
    manager.outputHandler(QStringLiteral("plain green text\n\x1b[41m          \x1b[0m\n"));
    QTRY_VERIFY(view.buffer().charCount() > 20);
    QTest::qWait(50); // let the coalesced repaint run
    const QImage image = view.viewport()->grab().toImage();
    QVERIFY(countPixels(image, qRgb(0, 0, 0)) > image.width() * image.height() / 2);
    QVERIFY(countPixels(image, xtermColor(1)) > 50);
    int greenish = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            greenish += c.green() > 100 && c.red() < 60 && c.blue() < 60;
        }
    QVERIFY(greenish > 20);
    QVERIFY(!allText(view.buffer()).contains(QStringLiteral("[41m")));
}

void TestDisplay::scrolledUpViewKeepsItsPlace() {
    QTemporaryDir dir;
    VantrelManager manager(optionsIn(dir));
    TerminalView view(new TerminalViewModel(&manager));
    view.resize(600, 400);
    view.show();
    QString lines;
    for (int i = 0; i < 500; ++i)
        lines += QStringLiteral("row %1\n").arg(i);
    manager.outputHandler(lines);
    QScrollBar* bar = view.verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(view.isFollowing());

    bar->setValue(10);
    QVERIFY(!view.isFollowing());
    manager.outputHandler(QStringLiteral("more\nand more\n"));
    QTRY_VERIFY(allText(view.buffer()).contains(QStringLiteral("and more")));
    QTest::qWait(50);
    QCOMPARE(bar->value(), 10);
    QVERIFY(view.hasNewOutputWaiting());

    QTest::keyClick(&view, Qt::Key_End);
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(view.isFollowing());
    QVERIFY(!view.hasNewOutputWaiting());
    manager.outputHandler(QStringLiteral("after\n"));
    QTRY_VERIFY(allText(view.buffer()).contains(QStringLiteral("after")));
    QTRY_COMPARE(bar->value(), bar->maximum());
}

void TestDisplay::selectAllCopiesPlainText() {
    QTemporaryDir dir;
    VantrelManager manager(optionsIn(dir));
    TerminalView view(new TerminalViewModel(&manager));
    view.show();
    manager.outputHandler(QStringLiteral("\x1b[33mcopy me\x1b[0m please\n"));
    QTRY_VERIFY(allText(view.buffer()).contains(QStringLiteral("copy me please")));
    view.selectAll();
    QVERIFY(view.hasSelection());
    view.copy();
    const QString copied = QGuiApplication::clipboard()->text();
    QVERIFY2(copied.contains(QStringLiteral("copy me please")), qPrintable(copied));
    QVERIFY(!copied.contains(QLatin1Char('\x1b')));
}

void TestDisplay::viewModelTakesRetainedLogThenBatches() {
    QTemporaryDir dir;
    VantrelManager manager(optionsIn(dir));
    manager.outputHandler(QStringLiteral("before the window\n"));
    QTRY_VERIFY(manager.output().contains(QStringLiteral("before the window")));
    TerminalViewModel model(&manager);
    QSignalSpy appended(&model, &TerminalViewModel::outputAppended);
    QTRY_VERIFY(model.output().contains(QStringLiteral("before the window")));
    QVERIFY(model.output().startsWith(QStringLiteral("🔧 Vantrel Manager initialized\n")));
    manager.outputHandler(QStringLiteral("after\n"));
    QTRY_VERIFY(model.output().endsWith(QStringLiteral("after\n")));
    QCOMPARE(model.output(), manager.output());
    QVERIFY(!appended.isEmpty());
}

void TestDisplay::installerReportsRealFailureAndIgnoresSecondRequest() {
    QTemporaryDir dir;
    VantrelManager manager(optionsIn(dir));
    InstallerViewModel model(&manager);
    QSignalSpy running(&model, &InstallerViewModel::isRunningChanged);
    model.startInstall();
    QVERIFY(model.isRunning());
    QVERIFY(model.status().startsWith(QStringLiteral("Installing CLI...")));
    model.startInstall(); // already under way: nothing happens
    QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning(), 15000);
    QVERIFY2(model.status().startsWith(QStringLiteral("Installation failed: ")),
             qPrintable(model.status()));
    QCOMPARE(running.count(), 2);
    QCOMPARE(manager.output().count(QStringLiteral("❌ Download error: ")), 1);
    QVERIFY(!QFile::exists(manager.cliPath()));
}

HALVANE_TEST_WIDGETS_MAIN(TestDisplay)
#include "tst_display.moc"
