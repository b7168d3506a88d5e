#include "ConsoleCapture.h"
#include "InstallerViewModel.h"
#include "SupervisorSandbox.h"
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

// Takes the addresses the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
    Q_INVOKABLE void open(const QUrl& url) { opened.append(url); }
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

constexpr QRgb none = TextStyle::DefaultColor;
TextStyle style(QRgb foreground, QRgb background = none, int flags = 0) {
    return {foreground, background, quint8(flags)};
}
const auto fg = [](int index) { return style(xtermColor(index)); };

QList<StyledRun> runsOf(const TerminalLine& line) {
    return QList<StyledRun>(line.runs.begin(), line.runs.end());
}

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

QString numbered(const QString& word, int count) {
    QString text;
    for (int i = 0; i < count; ++i)
        text += u"%1 %2\n"_s.arg(word).arg(i);
    return text;
}
} // namespace

// Parser, line store, view (offscreen) and view models, on a real supervisor.
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
            .line(view_->buffer().lineAtRow(y / view_->lineHeight()))
            .text.toString();
    }

private Q_SLOTS:
    void init() { sandbox_ = std::make_unique<SupervisorSandbox>(); }
    void cleanup() {
        view_.reset(); // its model holds on to the supervisor
        sandbox_.reset();
    }

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
            style(qRgb(10, 20, 30), qRgb(255, 128, 0)));
        row("truecolour, colon form, clamped", u"\x1b[38:2::1:2:300mX"_s, "X",
            style(qRgb(1, 2, 255)));
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
        const TextPosition kept{3, 0};
        for (int i = 0; i < 500; ++i) {
            if (i % 50 == 0)
                buffer.setColumns(QList{7, 1, 13, 80, 3}[i / 50 % 5]);
            // Lengths vary, so sometimes one bound bites and sometimes the other.
            buffer.append(u"line %1 \x1b[32m%2\n"_s.arg(i).arg(QString(i % 97, u'g')));
            QVERIFY(buffer.lineCount() <= 50 && buffer.charCount() <= 2000);
            QVERIFY(buffer.line(0).text.startsWith(u"line "_s));
            // A line number keeps naming its line while older ones are dropped.
            if (i > kept.line && buffer.firstLineNumber() <= kept.line)
                QCOMPARE(buffer.text(kept, {kept.line, 6}), u"line 3"_s);
            // Wrapped rows stay counted right through appends, trimming and new widths.
            qint64 rows = 0;
            for (qsizetype n = 0; n < buffer.shownLineCount(); rows += buffer.rowsOf(n++)) {
                const qsizetype length = buffer.line(n).text.size(), columns = buffer.columns();
                QCOMPARE(buffer.firstRowOf(n), rows);
                QCOMPARE(buffer.lineAtRow(rows), n);
                QCOMPARE(buffer.rowsOf(n), std::max<qint64>(1, (length + columns - 1) / columns));
            }
            QCOMPARE(buffer.rowCount(), rows);
        }
        QCOMPARE(buffer.clamped(kept), (TextPosition{buffer.firstLineNumber(), 0}));
        QCOMPARE(buffer.line(buffer.lineCount() - 2).text.toString(),
                 u"line 499 "_s + QString(14, u'g'));

        TerminalBuffer small;
        small.setColumns(10);
        small.append(QString(25, u'w') + u"\n\n"_s + QString(10, u'x') + u'\n');
        QCOMPARE(small.rowCount(), 3 + 1 + 1); // the empty line after the break is no row yet
        small.append(QString(15, u'p'));
        QCOMPARE(small.rowCount(), 5 + 2);

        // One endless line is broken, so it cannot escape the character bound.
        TerminalBuffer endless({.maxChars = 10000, .maxLineChars = 1000});
        for (int i = 0; i < 100; ++i) {
            endless.append(QString(4096, u'z'));
            QVERIFY(endless.charCount() <= 10000 && endless.line(0).text.size() <= 1000);
        }
        QVERIFY(endless.charCount() > 9000);
    }

    void findsThroughStylesWrapsAndTrims() {
        TerminalBuffer buffer({.maxLines = 8});
        buffer.setColumns(10);
        TerminalSearch search(&buffer);
        QSignalSpy finished(&search, &TerminalSearch::finished);
        const auto found = [&] { return search.matches(); };
        // Colours change inside a match; a match runs over the row where the line wraps.
        buffer.append(u"a needle\n\x1b[31mnee\x1b[1;32mdle\x1b[0m NEEDLE\nxxxxxxxneedle\n"_s);
        QCOMPARE(buffer.rowsOf(2), 2); // 13 characters in 10 columns
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
        const int columns = view_->buffer().columns();
        view_->resize(1000, 420); // re-wraps every line
        QTRY_VERIFY(view_->buffer().columns() > columns);
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
                (view_->buffer().firstRowOf(qsizetype(line - view_->buffer().firstLineNumber())) +
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
                              int(buffer.firstRowOf(line) + row) * view_->lineHeight());
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
        drag(at(first + 2, 0, buffer.columns() - 2), at(first + 2, 1, 2));
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
