#include "TerminalLayout.h"
#include "TerminalLines.h"
#include "TerminalSearch.h"
#include "TestEnvironment.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// What a parser hands its sink: text as written, other events as tokens, a style per character.
struct Transcript : TerminalSink {
    QString events;
    QList<TextStyle> styles;
    void write(QStringView text, const TextStyle& style) override {
        events += text;
        styles.append(QList<TextStyle>(text.size(), style));
    }
    void newLine() override { events += u"<LF>"_s; }
    void carriageReturn() override { events += u"<CR>"_s; }
    void backspace() override { events += u"<BS>"_s; }
    void tab() override { events += u"<HT>"_s; }
    void eraseInLine(int mode) override { events += u"<EL%1>"_s.arg(mode); }
    void eraseInDisplay(int mode) override { events += u"<ED%1>"_s.arg(mode); }
    void moveCursor(Move move, int amount) override {
        static const char* names[] = {"CUU", "CUD", "CUF", "CUB", "COL", "ROW"};
        events += u"<%1%2>"_s.arg(QLatin1String(names[int(move)])).arg(amount);
    }
    void editChars(CharEdit edit, int count) override {
        static const char* names[] = {"ECH", "ICH", "DCH"};
        events += u"<%1%2>"_s.arg(QLatin1String(names[int(edit)])).arg(count);
    }
    void saveCursor() override { events += u"<SC>"_s; }
    void restoreCursor() override { events += u"<RC>"_s; }
    quint16 hyperlink(QStringView uri) override {
        events += u"<LINK %1>"_s.arg(uri);
        return uri.isEmpty() ? 0 : 7;
    }
};

// Lines as a terminal shows them: no blanks at their ends, no blank lines at the end.
QStringList shownLines(const QString& text) {
    QStringList lines = text.split(u'\n');
    for (QString& line : lines)
        while (line.endsWith(u' '))
            line.chop(1);
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// What a real terminal shows for `bytes`: tmux, on a socket of its own, in a window of 200 by
// 24 cells, runs cat on them; its scrollback and screen are the expected lines.
QStringList terminalShows(const QByteArray& bytes) {
    const QTemporaryDir dir(u"/tmp/h-XXXXXX"_s); // a socket path must be short
    QFile input(dir.filePath(u"in"_s));
    if (!input.open(QIODevice::WriteOnly) || input.write(bytes) != bytes.size())
        return {u"(could not write the input)"_s};
    input.close();
    const auto tmux = [&](const QStringList& arguments) {
        QProcess process;
        process.start(u"tmux"_s,
                      QStringList{u"-u"_s, u"-S"_s, dir.filePath(u"s"_s), u"-f"_s, u"/dev/null"_s} +
                          arguments);
        process.waitForFinished(20000);
        return QString::fromUtf8(process.readAllStandardOutput());
    };
    tmux({u"set"_s, u"-g"_s, u"status"_s, u"off"_s, u";"_s, u"new-session"_s, u"-d"_s, u"-x"_s,
          u"200"_s, u"-y"_s, u"24"_s,
          u"cat '%1'; tmux wait-for -S done; exec sleep 600"_s.arg(input.fileName())});
    tmux({u"wait-for"_s, u"done"_s});
    const QString shown = tmux({u"capture-pane"_s, u"-p"_s, u"-S"_s, u"-"_s, u"-E"_s, u"-"_s});
    tmux({u"kill-server"_s});
    return shownLines(shown);
}

constexpr TextStyle::Rgb none = TextStyle::DefaultColor;
TextStyle style(TextStyle::Rgb foreground, TextStyle::Rgb background = none, int flags = 0) {
    return {foreground, background, quint8(flags)};
}
const auto fg = [](int index) { return style(xtermColor(index)); };

} // namespace

// The terminal model on its own: the escape parser, the line store with its screen and bounds,
// a view's wrapping of it, and search.
class TestTerminal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parser_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("events");
        QTest::addColumn<TextStyle>("last"); // of the last character
        const auto row = [](const char* name, const QString& input, const char* events,
                            TextStyle last = {}) {
            QTest::newRow(name) << input << QString::fromUtf8(events) << last;
        };
        row("16 colours", u"\x1b[31;42mX"_s, "X", style(xtermColor(1), xtermColor(2)));
        row("16 colours, bright", u"\x1b[91;103mX"_s, "X", style(xtermColor(9), xtermColor(11)));
        row("256", u"\x1b[38;5;208;48;5;244mX"_s, "X", style(xtermColor(208), xtermColor(244)));
        row("256, colon form", u"\x1b[38:5:21mX"_s, "X", fg(21));
        row("256 out of range is ignored", u"\x1b[32m\x1b[38;5;300mX"_s, "X", fg(2));
        row("truecolour", u"\x1b[38;2;10;20;30;48;2;255;128;0mX"_s, "X",
            style(opaqueRgb(10, 20, 30), opaqueRgb(255, 128, 0)));
        row("truecolour, colon form, clamped", u"\x1b[38:2::1:2:300mX"_s, "X",
            style(opaqueRgb(1, 2, 255)));
        row("attributes after a 256 colour", u"\x1b[38;5;16;1;4mX"_s, "X",
            style(xtermColor(16), none, TextStyle::Bold | TextStyle::Underline));
        row("attributes", u"\x1b[2;3;7mX"_s, "X",
            style(none, none, TextStyle::Dim | TextStyle::Italic | TextStyle::Inverse));
        row("0 and empty SGR reset", u"\x1b[1;4;31;42mA\x1b[0m\x1b[7;33mB\x1b[mX"_s, "ABX");
        row("22, 39 and 49 end bold and dim, colours", u"\x1b[1;2;3;31;44mA\x1b[22;39;49mX"_s, "AX",
            style(none, none, TextStyle::Italic));
        row("underline style 0 is none", u"\x1b[4m\x1b[4:0mX"_s, "X");
        row("a private marker is no SGR", u"\x1b[32m\x1b[>4;2mX"_s, "X", fg(2));
        row("ESC c resets", u"\x1b[1;31mA\033cX"_s, "AX");
        // Octal and \u escapes where a hex one would swallow the next letter.
        row("line controls", u"a\nb\vc\fd\r2\b3\t4"_s, "a<LF>b<LF>c<LF>d<CR>2<BS>3<HT>4");
        row("erase in line", u"\x1b[K\x1b[0K\x1b[1K\x1b[2K\x1b[3KX"_s, "<EL0><EL0><EL1><EL2>X");
        row("cursor, display, modes", u"a\x1b[5A\x1b[2;10H\x1b[2J\x1b[?25l\x1b[2 qb"_s,
            "a<CUU5><ROW1><COL9><ED2>b");
        row("cursor movement, defaults and zeros",
            u"\x1b[A\x1b[0B\x1b[2C\x1b[D\x1b[3E\x1b[F\x1b[G\x1b[5`\x1b[H\x1b[;7f\x1b[4d\x1b[2e\x1b[aX"_s,
            "<CUU1><CUD1><CUF2><CUB1><CUD3><COL0><CUU1><COL0><COL0><COL4><ROW0><COL0><ROW0><COL6>"
            "<ROW3><CUD2><CUF1>X");
        row("editing and erasing the screen", u"\x1b[X\x1b[3@\x1b[2P\x1b[J\x1b[1J\x1b[3JX"_s,
            "<ECH1><ICH3><DCH2><ED0><ED1>X");
        row("save and restore, also the colours",
            u"\x1b[31m\x1b[s\x1b[32m\x1b[uA\x1b[1s\x1b[33m\0337\x1b[34m\0338X"_s,
            "<SC><RC>A<SC><RC>X", fg(3));
        TextStyle linked;
        linked.link = 7;
        row("OSC, BEL or ST", u"\x1b]0;title\aa\x1b]8;;https://127.0.0.1/\x1b\\b"_s,
            "a<LINK https://127.0.0.1/>b", linked);
        row("a link lasts through a reset of the colours",
            u"\x1b]8;id=1;https://127.0.0.1/x\x1b\\\x1b[31mA\x1b[0mB\x1b]8;;\aC"_s,
            "<LINK https://127.0.0.1/x>AB<LINK >C");
        row("DCS, PM and APC", u"\x1bP1$r0m\x1b\\\x1b^pm\x1b\\\x1b_apc\x1b\\ok"_s, "ok");
        row("charset, keypad, save cursor", u"\x1b(B\x1b=\0337ok\0338"_s, "<SC>ok<RC>");
        row("C1 CSI and OSC", u"\u009b2Jok\u009d0;t\u009c!"_s, "<ED2>ok!");
        row("other controls draw nothing", u"a\001\a\016\177\u0085b"_s, "ab");
        row("a control inside CSI still acts", u"\x1b[3\n1mX"_s, "<LF>X", fg(1));
        row("ESC, CAN and SUB abort", u"\x1b[31\x1b[32mA\x1b[1\030B\x1b]0;t\032X"_s, "ABX", fg(2));
        row("non-BMP text", u"\x1b[32m🔧 ok"_s, "🔧 ok", fg(2));
        row("a string left open ends at a line break", u"\x1bPq#0\nA\x1b]0;t\r\nX"_s, "<LF>A<LF>X");
        row("a string left open ends at a bound", u"\x1b]0;"_s + QString(16384, u'\x7f') + u"X"_s,
            "X");
        row("huge parameters, then a reset",
            u"\x1b["_s + u"1;"_s.repeated(200) + u"31mX\x1b[99999999999999mY\x1b[mZ"_s, "XYZ");
    }
    void parser() {
        QFETCH(QString, input);
        QFETCH(QString, events);
        QFETCH(TextStyle, last);
        Transcript whole;
        AnsiParser().feed(input, whole);
        QCOMPARE(whole.events, events);
        QVERIFY(whole.styles.last() == last);
        // A chunk may end anywhere, even inside a sequence: every cut must agree, also with the
        // rest coming one character at a time.
        for (qsizetype at = 0; at <= input.size(); at += 1 + input.size() / 1000) {
            Transcript out;
            AnsiParser parser;
            parser.feed(QStringView(input).first(at), out);
            for (qsizetype i = at; i < input.size(); ++i)
                parser.feed(QStringView(input).sliced(i, 1), out);
            QVERIFY2(out.events == whole.events && out.styles == whole.styles,
                     qPrintable(u"split at %1"_s.arg(at)));
        }
    }

    void lineEditing_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<StyledRun>>("runs"); // of the first line, when given
        const auto row = [](const char* name, QStringView input, const char* text,
                            QList<StyledRun> runs = {}) {
            QTest::newRow(name) << input.toString() << QString::fromUtf8(text) << runs;
        };
        row("progress, CR LF", u"[##   ]  40%\r[#####] 100%\r\nok\r\n", "[#####] 100%\nok\n");
        row("a shorter rewrite leaves the rest", u"downloading 10%\rdone\n", "doneloading 10%\n");
        row("rewrite and erase the rest", u"downloading 10%\rdone\x1b[K\n", "done\n");
        row("backspace, also at the start", u"\bab\bc\n", "ac\n");
        row("tab", u"x\ty\n", "x       y\n");
        row("tab over text only moves", u"abcdefghij\r\tX\n", "abcdefghXj\n");
        row("erase to the cursor", u"hello\r\x1b[1K\n", " ello\n");
        row("erase the line, keep the column", u"hello\x1b[2Kab\n", "     ab\n");
        row("backspace over a wide character", u"a🔧\b\bX\n", "aX \n");
        row("overwrite half a surrogate pair", u"🔧 10%\rX\n", "X  10%\n");
        row("tab stop inside a surrogate pair", u"abcdefg🔧 tab\r\tY\n", "abcdefg Y tab\n");
        row("a redraw of lines above", u"a\nb\nc\n\x1b[3Ax\n\x1b[Ky\nz\n", "x\ny\nz\n");
        row("a clear keeps the lines in the scrollback", u"a\nb\x1b[2J\x1b[Hc", "a\nb\nc\n");
        row("restored where it was saved", u"ab\0337\ncd\0338X\n", "abX\ncd");
        row("escapes never land in the text", u"\x1b[1;32mok\x1b[0m \x1b]0;t\adone\n", "ok done\n");
        row("a million redraws of a line keep the lines before it",
            (u"before\n"_s + u"\r 99% of 20 MB"_s.repeated(700000) + u"\n"_s),
            "before\n 99% of 20 MB\n");
        row("overwriting keeps the styles of what is left",
            u"\x1b[31mAAAA\x1b[34mBBBB\r\x1b[32mCC\x1b[0m\b\x1b[1mD", "CDAABBBB",
            {{0, fg(2)}, {1, style(none, none, TextStyle::Bold)}, {2, fg(1)}, {4, fg(4)}});
    }
    void lineEditing() {
        QFETCH(QString, input);
        QFETCH(QString, text);
        QFETCH(QList<StyledRun>, runs);
        TerminalBuffer buffer;
        buffer.append(input);
        QCOMPARE(buffer.text({}, buffer.endPosition()), text);
        QCOMPARE(buffer.charCount(), text.size() - (buffer.lineCount() - 1));
        QVERIFY(runs.isEmpty() || runsOf(buffer.line(0)) == runs);
    }

    // Real programs' live displays and a sequence for each control, as a real terminal shows
    // them, with a chunk ending at any byte.
    void matchesARealTerminal_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QDir corpus(QStringLiteral(HALVANE_TERMINAL_CORPUS));
        for (const QString& name : corpus.entryList({u"*.out"_s}, QDir::Files, QDir::Name)) {
            QFile file(corpus.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(name)) << file.readAll();
        }
        QVERIFY(QTest::currentDataTag() || corpus.entryList({u"*.out"_s}).size() >= 4);
        const auto row = [](const char* name, const char* bytes) {
            QTest::newRow(name) << QByteArray(bytes);
        };
        row("redraw three lines", "a1\nb1\nc1\n\x1b[3Aa2\nb2\x1b[K\nc2\n");
        row("back and erase", "abcdef\x1b[3D\x1b[KXY\nhello\x1b[3D\x1b[1K\nhello\x1b[2K!\n");
        row("to a column and forward", "abcdef\x1b[1GX\x1b[2CY\x1b[6`Z\x1b[99CW\n");
        row("save and restore", "top\0337\nmiddle\nbottom\0338!\x1b[s\x1b[2B>\x1b[u<\n\n\n");
        row("erase below and above", "l1\nl2\nl3\nl4\x1b[2A\x1b[2C\x1b[J\x1b[A\x1b[1J+\n\n\n");
        row("clear the screen", "old1\nold2\n\x1b[2J\x1b[Hnew\x1b[5;3Hlow\n");
        row("positions and lines", "\x1b[3;5Hx\x1b[1;1fy\x1b[5dz\x1b[2Fw\x1b[3Ev\x1b[2Eu\n");
        row("edit characters",
            "abcdefgh\x1b[3G\x1b[2X\nabcdefgh\x1b[3G\x1b[2@\nabcdefgh\x1b[3G\x1b[2P\n");
        row("wide characters", "\xe6\xbc\xa2\xe5\xad\x97"
                               "abc\x1b[3D\x1b[KXY\n"
                               "\xf0\x9f\x94\xa7\xf0\x9f\x94\xa7"
                               "ab\x1b[4D!\n"
                               "\xe8\xa1\xa8\010X\x1b[1G\x1b[P\n");
        row("tabs, backspace, carriage return", "a\tb\tc\rx\ty\b\bZ\n10%\r20%\r100%\n");
        row("up stops at the top of the screen",
            "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n16\n17\n18\n19\n20\n"
            "21\n22\n23\n24\n25\n26\n27\n28\n29\n30\x1b[99Atop\x1b[30Bend\n");
        row("down makes blank rows", "a\x1b[5Bb\x1b[40Bc\n");
    }
    void matchesARealTerminal() {
        QFETCH(QByteArray, bytes);
        HALVANE_REQUIRE_TOOL(!QStandardPaths::findExecutable(u"tmux"_s).isEmpty(), "tmux");
        const QStringList expected = terminalShows(bytes);
        QVERIFY(!expected.isEmpty());
        for (qsizetype at = 0; at <= bytes.size(); ++at) {
            TerminalBuffer buffer;
            QStringDecoder decoder(QStringDecoder::Utf8); // as the output log decodes
            buffer.append(QString(decoder.decode(bytes.first(at))));
            buffer.append(QString(decoder.decode(bytes.sliced(at))));
            const QStringList shown = shownLines(buffer.text());
            if (shown != expected)
                QCOMPARE(shown.join(u'\n'),
                         expected.join(u'\n')); // names the first split that fails
        }
    }

    void boundedTrimmedByWholeLinesAndWrapped() {
        TerminalBuffer buffer({.maxLines = 50, .maxChars = 2000});
        TerminalLayout layout(&buffer);
        const TextPosition kept{3, 0};
        for (int i = 0; i < 500; ++i) {
            if (i % 50 == 0)
                layout.setColumns(QList{7, 1, 13, 80, 3}[i / 50 % 5]);
            // Lengths vary, so sometimes one bound bites and sometimes the other.
            buffer.append(u"line %1 \x1b[32m%2\n"_s.arg(i).arg(QString(i % 97, u'g')));
            QVERIFY(buffer.lineCount() <= 50 && buffer.charCount() <= 2000);
            QVERIFY(buffer.line(0).text.startsWith(u"line "_s));
            // A line number keeps naming its line while older ones are dropped.
            if (i > kept.line && buffer.firstLineNumber() <= kept.line)
                QCOMPARE(buffer.text(kept, {kept.line, 6}), u"line 3"_s);
            // Wrapped rows stay counted right through appends, trimming and new widths.
            qint64 rows = 0;
            for (qsizetype n = 0; n < layout.shownLineCount(); rows += layout.rowsOf(n++)) {
                const qsizetype length = buffer.line(n).text.size(), columns = layout.columns();
                QCOMPARE(layout.firstRowOf(n), rows);
                QCOMPARE(layout.lineAtRow(rows), n);
                QCOMPARE(layout.rowsOf(n), std::max<qint64>(1, (length + columns - 1) / columns));
            }
            QCOMPARE(layout.rowCount(), rows);
        }
        QCOMPARE(buffer.clamped(kept), (TextPosition{buffer.firstLineNumber(), 0}));
        QCOMPARE(buffer.line(buffer.lineCount() - 2).text.toString(),
                 u"line 499 "_s + QString(14, u'g'));

        TerminalBuffer small;
        TerminalLayout smallLayout(&small);
        smallLayout.setColumns(10);
        small.append(QString(25, u'w') + u"\n\n"_s + QString(10, u'x') + u'\n');
        QCOMPARE(smallLayout.rowCount(), 3 + 1 + 1); // the empty line after the break is no row
        small.append(QString(15, u'p'));
        QCOMPARE(smallLayout.rowCount(), 5 + 2);

        // One endless line is broken, so it cannot escape the character bound.
        TerminalBuffer endless({.maxChars = 10000, .maxLineChars = 1000});
        for (int i = 0; i < 100; ++i) {
            endless.append(QString(4096, u'z'));
            QVERIFY(endless.charCount() <= 10000 && endless.line(0).text.size() <= 1000);
        }
        QVERIFY(endless.charCount() > 9000);
    }

    void findsThroughStylesAndTrims() {
        TerminalBuffer buffer({.maxLines = 8});
        TerminalSearch search(&buffer);
        QSignalSpy finished(&search, &TerminalSearch::finished);
        const auto found = [&] { return search.matches(); };
        // Colours change inside a match.
        buffer.append(u"a needle\n\x1b[31mnee\x1b[1;32mdle\x1b[0m NEEDLE\nxxxxxxxneedle\n"_s);
        search.setPattern(u"needle"_s, Qt::CaseInsensitive, {1, 7});
        QVERIFY(search.isSearching() && search.matchCount() == 0); // not inside the call
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(found(), (QList<TextPosition>{{0, 2}, {1, 0}, {1, 7}, {2, 7}}));
        QCOMPARE(search.currentIndex(), 2); // the last match at or before where it was asked
        for (auto [forward, expected] :
             {std::pair{true, 3}, {true, 0}, {true, 1}, {false, 0}, {false, 3}, {false, 2}}) {
            forward ? search.next() : search.previous();
            QCOMPARE(search.currentIndex(), expected);
        }
        search.setPattern(u"needle"_s, Qt::CaseSensitive, {});
        QTRY_COMPARE(finished.count(), 2);
        QCOMPARE(found(), (QList<TextPosition>{{0, 2}, {1, 0}, {2, 7}}));
        QCOMPARE(search.currentIndex(), 0); // none before the start: the first

        // New output is searched as it comes, the last line again as it changes; trimmed
        // lines take their matches with them, and the rest keep their lines.
        search.next();
        search.next();
        buffer.append(u"needle ne"_s);
        search.bufferChanged();
        QTRY_COMPARE(found().size(), 4);
        buffer.append(u"edle\rneedle"_s);
        search.bufferChanged();
        QTRY_COMPARE(found().size(), 5);
        buffer.append(u"\n"_s + numbered(u"filler"_s, 5));
        search.bufferChanged();
        QCOMPARE(buffer.firstLineNumber(), 2);
        QCOMPARE(found(), (QList<TextPosition>{{2, 7}, {3, 0}, {3, 7}}));
        QCOMPARE(search.currentIndex(), 0);
        buffer.append(numbered(u"more"_s, 1));
        search.bufferChanged();
        QCOMPARE(found(), (QList<TextPosition>{{3, 0}, {3, 7}}));
        QCOMPARE(search.currentIndex(), -1);                 // it went with its line
        buffer.append(u"x ÄRGER ärger Ärger argerlich\n"_s); // any case beyond ASCII too
        search.setPattern(u"äRGER"_s, Qt::CaseInsensitive, {});
        QTRY_COMPARE(finished.count(), 3);
        QCOMPARE(search.matchCount(), 3);
        buffer.append(u"\x1b[A\x1b[2Kärger\n"_s); // a line redrawn is searched again
        search.bufferChanged();
        QTRY_COMPARE(search.matchCount(), 1);
        // A one-letter pattern: every match counted, each found again in its line.
        const qsizetype searches = finished.count();
        search.setPattern(u"e"_s, Qt::CaseSensitive, {});
        QTRY_COMPARE(finished.count(), searches + 1);
        QCOMPARE(search.matchCount(), buffer.text().count(u'e'));
        const QList<TextPosition> all = search.matches();
        QCOMPARE(all.size(), search.matchCount());
        for (qsizetype i = 0; i < all.size(); ++i)
            QCOMPARE(search.match(i), all.at(i));
    }
};

HALVANE_TEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"
