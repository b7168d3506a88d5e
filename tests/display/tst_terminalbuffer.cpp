#include "TerminalBuffer.h"
#include "TestEnvironment.h"

#include <QtTest>

namespace {
QString allText(const TerminalBuffer& buffer) {
    return buffer.text({buffer.firstLineNumber(), 0}, buffer.endPosition());
}

TextStyle styleAt(const TerminalBuffer& buffer, qsizetype index, int column) {
    TextStyle style;
    for (const StyledRun& run : buffer.line(index).runs)
        if (run.start <= column)
            style = run.style;
    return style;
}

QString lines(const TerminalBuffer& buffer) {
    QStringList out;
    for (qsizetype i = 0; i < buffer.lineCount(); ++i)
        out << buffer.line(i).text;
    return out.join(QLatin1Char('|'));
}

// Runs are sorted, start inside the line, and no two neighbours look the same.
bool runsAreWellFormed(const TerminalLine& line) {
    for (qsizetype i = 0; i < line.runs.size(); ++i) {
        if (line.runs[i].start < 0 || line.runs[i].start >= line.text.size())
            return false;
        if (i > 0 && (line.runs[i].start <= line.runs[i - 1].start ||
                      line.runs[i].style == line.runs[i - 1].style))
            return false;
    }
    return line.text.isEmpty() || (!line.runs.isEmpty() && line.runs.first().start == 0);
}
} // namespace

// The scrollback behind the view: line editing like a terminal, the bounds, and wrapping.
class TestTerminalBuffer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lineEditing_data();
    void lineEditing();
    void overwritingKeepsTheStylesOfWhatIsLeft();
    void overwritingHalfAWideCharacterLeavesNoBrokenHalf();

    void boundedByLinesAndCharactersAtEveryStep();
    void endlessLineIsBrokenAndStillBounded();
    void trimmingKeepsLineNumbersAndPositions();
    void clearStartsAfreshWithNewNumbers();

    void wrapsAtTheColumnCount();
    void rewrapAndTrimKeepRowsConsistent();
    void textBetweenPositions();
};

void TestTerminalBuffer::lineEditing_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("lines"); // every line, joined by '|'

    const auto row = [](const char* name, const char16_t* input, const char* lines) {
        QTest::newRow(name) << QString::fromUtf16(input) << QString::fromUtf8(lines);
    };
    row("progress bar redrawn by carriage return", u"[##   ]  40%\r[#####] 100%\n",
        "[#####] 100%|");
    row("a shorter rewrite leaves the rest", u"downloading 10%\rdone\n", "doneloading 10%|");
    row("rewrite and erase the rest", u"downloading 10%\rdone\x1b[K\n", "done|");
    row("CR LF line endings", u"one\r\ntwo\r\n", "one|two|");
    row("backspace then overwrite", u"ab\bc\n", "ac|");
    row("backspace at the start does nothing", u"\b\bx\n", "x|");
    row("backspace steps over a whole surrogate pair", u"a🔧\b\bX\n", "X🔧|");
    row("tab to the next stop", u"x\ty\n", "x       y|");
    row("tab from a stop", u"12345678\tz\n", "12345678        z|");
    row("tab over existing text only moves", u"abcdefghij\r\tX\n", "abcdefghXj|");
    row("erase start of line to cursor", u"hello world\r\x1b[5C\x1b[6D\x1b[1K\n",
        " ello world|"); // cursor movement is consumed, so the cursor is still at 0
    row("erase the whole line keeps the cursor column", u"hello\x1b[2Kab\n", "     ab|");
    row("erase to end at the end does nothing", u"abc\x1b[K\n", "abc|");
    row("escapes never land in the text",
        u"\x1b[1;32mok\x1b[0m \x1b]0;t\x07"
        u"done\n",
        "ok done|");
    row("cursor waits on a fresh line", u"a\nb\n", "a|b|");
}

void TestTerminalBuffer::lineEditing() {
    QFETCH(QString, input);
    QFETCH(QString, lines);
    TerminalBuffer buffer;
    buffer.append(input);
    QCOMPARE(::lines(buffer), lines);
    qsizetype chars = 0;
    for (qsizetype i = 0; i < buffer.lineCount(); ++i) {
        chars += buffer.line(i).text.size();
        QVERIFY(runsAreWellFormed(buffer.line(i)));
    }
    QCOMPARE(buffer.charCount(), chars);
}

void TestTerminalBuffer::overwritingKeepsTheStylesOfWhatIsLeft() {
    TerminalBuffer buffer;
    buffer.append(u"\x1b[31mAAAA\x1b[34mBBBB\r\x1b[32mCC\x1b[0m\b\x1b[1mD");
    const TerminalLine& line = buffer.line(0);
    QCOMPARE(line.text, QStringLiteral("CDAABBBB"));
    QVERIFY(runsAreWellFormed(line));
    QCOMPARE(styleAt(buffer, 0, 0).foreground, xtermColor(2));
    QVERIFY(styleAt(buffer, 0, 1).has(TextStyle::Bold));
    QCOMPARE(styleAt(buffer, 0, 1).foreground, TextStyle::DefaultColor);
    QCOMPARE(styleAt(buffer, 0, 2).foreground, xtermColor(1));
    QCOMPARE(styleAt(buffer, 0, 3).foreground, xtermColor(1));
    QCOMPARE(styleAt(buffer, 0, 4).foreground, xtermColor(4));
    QCOMPARE(buffer.cursorColumn(), 2);
}

void TestTerminalBuffer::overwritingHalfAWideCharacterLeavesNoBrokenHalf() {
    TerminalBuffer buffer;
    buffer.append(u"🔧 10%\rX\n");
    buffer.append(u"abcdefg🔧 tab\r\tY\n"); // the tab stop falls inside the pair
    for (qsizetype index : {0, 1}) {
        const QString text = buffer.line(index).text;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i].isLowSurrogate())
                QVERIFY2(i > 0 && text[i - 1].isHighSurrogate(), qPrintable(text));
            if (text[i].isHighSurrogate())
                QVERIFY2(i + 1 < text.size() && text[i + 1].isLowSurrogate(), qPrintable(text));
        }
        QVERIFY2(text.contains(QLatin1Char(index == 0 ? 'X' : 'Y')), qPrintable(text));
        QVERIFY2(text.endsWith(index == 0 ? QStringLiteral(" 10%") : QStringLiteral(" tab")),
                 qPrintable(text));
    }
}

void TestTerminalBuffer::boundedByLinesAndCharactersAtEveryStep() {
    TerminalBuffer::Limits limits;
    limits.maxLines = 50;
    limits.maxChars = 2000;
    TerminalBuffer buffer(limits);
    for (int i = 0; i < 2000; ++i) {
        // Lines of varying length, so sometimes one bound bites and sometimes the other.
        buffer.append(QStringLiteral("line %1 \x1b[32m%2\x1b[0m\n")
                          .arg(i)
                          .arg(QString(i % 97, QLatin1Char('g'))));
        QVERIFY(buffer.lineCount() <= limits.maxLines);
        QVERIFY(buffer.charCount() <= limits.maxChars);
    }
    QVERIFY(allText(buffer).contains(QStringLiteral("line 1999 ")));
    QVERIFY(buffer.line(0).text.startsWith(QStringLiteral("line ")));
    QVERIFY(buffer.firstLineNumber() > 1900);
}

void TestTerminalBuffer::endlessLineIsBrokenAndStillBounded() {
    TerminalBuffer::Limits limits;
    limits.maxChars = 10000;
    limits.maxLineChars = 1000;
    TerminalBuffer buffer(limits);
    const QString chunk(4096, QLatin1Char('z'));
    for (int i = 0; i < 100; ++i) {
        buffer.append(chunk);
        QVERIFY(buffer.charCount() <= limits.maxChars);
    }
    for (qsizetype i = 0; i < buffer.lineCount(); ++i)
        QVERIFY(buffer.line(i).text.size() <= limits.maxLineChars);
    QVERIFY(buffer.charCount() > limits.maxChars - limits.maxLineChars);
}

void TestTerminalBuffer::trimmingKeepsLineNumbersAndPositions() {
    TerminalBuffer::Limits limits;
    limits.maxLines = 10;
    TerminalBuffer buffer(limits);
    for (int i = 0; i < 5; ++i)
        buffer.append(QStringLiteral("line %1\n").arg(i));
    const TextPosition third{buffer.firstLineNumber() + 3, 2};
    QCOMPARE(buffer.text(third, {third.line, 6}), QStringLiteral("ne 3"));

    for (int i = 5; i < 12; ++i)
        buffer.append(QStringLiteral("line %1\n").arg(i));
    QCOMPARE(buffer.lineCount(), 10);
    QCOMPARE(buffer.firstLineNumber(), 3);
    QCOMPARE(buffer.line(0).text, QStringLiteral("line 3"));
    // The same number still names the same line after its neighbours were dropped.
    QCOMPARE(buffer.text(third, {third.line, 6}), QStringLiteral("ne 3"));

    buffer.append(QStringLiteral("line 12\n"));
    QCOMPARE(buffer.firstLineNumber(), 4);
    // A position in a dropped line clamps to the oldest text left.
    QCOMPARE(buffer.clamped(third), (TextPosition{4, 0}));
    QVERIFY(buffer.text(third, {5, 0}).startsWith(QStringLiteral("line 4\n")));
}

void TestTerminalBuffer::clearStartsAfreshWithNewNumbers() {
    TerminalBuffer buffer;
    buffer.append(u"\x1b[31mone\ntwo\x1b[");
    const TextPosition old = buffer.endPosition();
    buffer.clear();
    QCOMPARE(buffer.lineCount(), 1);
    QCOMPARE(buffer.charCount(), 0);
    QVERIFY(buffer.firstLineNumber() > old.line);
    buffer.append(u"1mx"); // the half sequence before the clear is gone
    QCOMPARE(buffer.line(0).text, QStringLiteral("1mx"));
    QVERIFY(styleAt(buffer, 0, 0).isDefault());
}

void TestTerminalBuffer::wrapsAtTheColumnCount() {
    TerminalBuffer buffer;
    buffer.setColumns(10);
    buffer.append(QString(25, QLatin1Char('w')) + QStringLiteral("\n\n") +
                  QString(10, QLatin1Char('x')) + QStringLiteral("\nshort\n"));
    QCOMPARE(buffer.shownLineCount(), 4); // the empty line after the last break is the cursor
    QCOMPARE(buffer.rowsOf(0), 3);
    QCOMPARE(buffer.rowsOf(1), 1); // an empty line still takes a row
    QCOMPARE(buffer.rowsOf(2), 1); // exactly the width: no extra row
    QCOMPARE(buffer.rowCount(), 6);
    QCOMPARE(buffer.firstRowOf(3), 5);
    QCOMPARE(buffer.lineAtRow(0), 0);
    QCOMPARE(buffer.lineAtRow(2), 0);
    QCOMPARE(buffer.lineAtRow(3), 1);
    QCOMPARE(buffer.lineAtRow(5), 3);
    QCOMPARE(buffer.lineAtRow(99), 3);

    // The line being written grows row by row.
    buffer.append(QString(15, QLatin1Char('p')));
    QCOMPARE(buffer.rowCount(), 8);
    buffer.append(u"\r\x1b[K"); // empty again: only the cursor's place, not a row
    QCOMPARE(buffer.rowCount(), 6);
}

void TestTerminalBuffer::rewrapAndTrimKeepRowsConsistent() {
    TerminalBuffer::Limits limits;
    limits.maxLines = 40;
    TerminalBuffer buffer(limits);
    buffer.setColumns(7);
    for (int i = 0; i < 100; ++i)
        buffer.append(QString(i % 23, QLatin1Char('a' + i % 26)) + QLatin1Char('\n'));
    for (int columns : {7, 1, 13, 80, 3}) {
        buffer.setColumns(columns);
        QCOMPARE(buffer.columns(), columns);
        qint64 rows = 0;
        for (qsizetype i = 0; i < buffer.shownLineCount(); ++i) {
            const qsizetype length = buffer.line(i).text.size();
            const qint64 expected = length == 0 ? 1 : (length + columns - 1) / columns;
            QCOMPARE(buffer.rowsOf(i), expected);
            QCOMPARE(buffer.firstRowOf(i), rows);
            for (qint64 r = rows; r < rows + expected; ++r)
                QCOMPARE(buffer.lineAtRow(r), i);
            rows += expected;
        }
        QCOMPARE(buffer.rowCount(), rows);
        buffer.append(QStringLiteral("more text that trims\n"));
        QCOMPARE(buffer.firstRowOf(0), 0);
    }
    buffer.setColumns(0);
    QCOMPARE(buffer.columns(), 1);
}

void TestTerminalBuffer::textBetweenPositions() {
    TerminalBuffer buffer;
    buffer.append(u"\x1b[31mfirst\x1b[0m line\nsecond\nthird");
    const qint64 n = buffer.firstLineNumber();
    QCOMPARE(buffer.text({n, 6}, {n + 2, 3}), QStringLiteral("line\nsecond\nthi"));
    QCOMPARE(buffer.text({n + 2, 3}, {n, 6}), QStringLiteral("line\nsecond\nthi"));
    QCOMPARE(buffer.text({n + 1, 0}, {n + 1, 99}), QStringLiteral("second"));
    QCOMPARE(buffer.text({n - 5, 0}, {n, 5}), QStringLiteral("first"));
    QCOMPARE(buffer.text({n, 0}, {n + 100, 0}), allText(buffer));
    QCOMPARE(buffer.endPosition(), (TextPosition{n + 2, 5}));
}

HALVANE_TEST_GUILESS_MAIN(TestTerminalBuffer)
#include "tst_terminalbuffer.moc"
