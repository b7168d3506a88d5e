#include "AnsiParser.h"
#include "TestEnvironment.h"

#include <QtTest>

namespace {
// Written text verbatim and every other event as a token, with the style of each character.
struct Transcript : TerminalSink {
    QString events;
    QString text;
    QList<TextStyle> styles;

    void write(QStringView chunk, const TextStyle& style) override {
        events += chunk;
        text += chunk;
        for (qsizetype i = 0; i < chunk.size(); ++i)
            styles.append(style);
    }
    void newLine() override { events += QStringLiteral("<LF>"); }
    void carriageReturn() override { events += QStringLiteral("<CR>"); }
    void backspace() override { events += QStringLiteral("<BS>"); }
    void tab() override { events += QStringLiteral("<HT>"); }
    void eraseInLine(int mode) override { events += QStringLiteral("<EL%1>").arg(mode); }
};

TextStyle style(QRgb foreground, QRgb background = TextStyle::DefaultColor, quint8 flags = 0) {
    TextStyle s;
    s.foreground = foreground;
    s.background = background;
    s.flags = flags;
    return s;
}

constexpr QRgb none = TextStyle::DefaultColor;

Transcript parsedWhole(const QString& input) {
    Transcript out;
    AnsiParser parser;
    parser.feed(input, out);
    return out;
}

// Inputs whose transcript must not depend on where a chunk boundary falls.
void addEveryInput() {
    QTest::addColumn<QString>("input");
    int n = 0;
    for (const char16_t* input : {
             u"\x1b[1;38;5;208;48;2;1;2;3mA\x1b[0mB",
             u"\x1b[38:2::10:20:30mC\x1b[mD",
             u"x\x1b]0;a title\x07y\x1b]8;;https://127.0.0.1/\x1b\\link\x1b]8;;\x1b\\z",
             u"\x1bP1$r0m\x1b\\after",
             u"progress 10%\rprogress 100%\x1b[K\n",
             u"a\tb\bc\x1b[2Kd\x1b(Be\x1b[?25lf",
             u"\x9b"
             u"31mC1\x9d"
             u"0;t\x9c!",
             u"\x1b[31\x1b[32mgreen\x1b[1\x18"
             u"cancelled",
         })
        QTest::addRow("input %d", ++n) << QString::fromUtf16(input);
}
} // namespace

// The parser between the CLI's bytes and the line store: styles from SGR, every other
// sequence consumed, the line-editing controls passed on.
class TestAnsiParser : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void selectGraphicRendition_data();
    void selectGraphicRendition();
    void foreignSequencesAndControls_data();
    void foreignSequencesAndControls();
    void splitAnywhereGivesTheSameResult_data() { addEveryInput(); }
    void splitAnywhereGivesTheSameResult();
    void unterminatedStringShowsNothingAndEndsCleanly();
    void oversizedParametersAreHarmless();
    void resetForgetsStyleAndPendingSequence();
};

void TestAnsiParser::selectGraphicRendition_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<TextStyle>("expected"); // the style of the last character, 'X'

    const auto row = [](const char* name, const char16_t* input, TextStyle expected) {
        QTest::newRow(name) << QString::fromUtf16(input) << expected;
    };
    row("plain is the pane default", u"X", style(none));
    row("16: normal foreground", u"\x1b[31mX", style(xtermColor(1)));
    row("16: bright foreground", u"\x1b[91mX", style(xtermColor(9)));
    row("16: normal background", u"\x1b[42mX", style(none, xtermColor(2)));
    row("16: bright background", u"\x1b[103mX", style(none, xtermColor(11)));
    row("256: foreground", u"\x1b[38;5;208mX", style(xtermColor(208)));
    row("256: grey background", u"\x1b[48;5;244mX", style(none, xtermColor(244)));
    row("256: colon form", u"\x1b[38:5:21mX", style(xtermColor(21)));
    row("256: out of range is ignored", u"\x1b[32m\x1b[38;5;300mX", style(xtermColor(2)));
    row("24-bit: foreground", u"\x1b[38;2;10;20;30mX", style(qRgb(10, 20, 30)));
    row("24-bit: background", u"\x1b[48;2;255;128;0mX", style(none, qRgb(255, 128, 0)));
    row("24-bit: colon form with colour space", u"\x1b[38:2::1:2:3mX", style(qRgb(1, 2, 3)));
    row("24-bit: colon form without colour space", u"\x1b[38:2:4:5:6mX", style(qRgb(4, 5, 6)));
    row("24-bit: components are clamped", u"\x1b[38;2;300;0;0mX", style(qRgb(255, 0, 0)));
    row("parameters after an extended colour still count", u"\x1b[38;5;16;1;4mX",
        style(xtermColor(16), none, TextStyle::Bold | TextStyle::Underline));
    row("bold", u"\x1b[1mX", style(none, none, TextStyle::Bold));
    row("dim", u"\x1b[2mX", style(none, none, TextStyle::Dim));
    row("italic", u"\x1b[3mX", style(none, none, TextStyle::Italic));
    row("underline", u"\x1b[4mX", style(none, none, TextStyle::Underline));
    row("curly underline", u"\x1b[4:3mX", style(none, none, TextStyle::Underline));
    row("underline style 0 is none", u"\x1b[4m\x1b[4:0mX", style(none));
    row("inverse", u"\x1b[7mX", style(none, none, TextStyle::Inverse));
    row("everything at once", u"\x1b[1;2;3;4;7;35;46mX",
        style(xtermColor(5), xtermColor(6),
              TextStyle::Bold | TextStyle::Dim | TextStyle::Italic | TextStyle::Underline |
                  TextStyle::Inverse));
    row("0 resets", u"\x1b[1;4;31;42mA\x1b[0mX", style(none));
    row("empty SGR resets", u"\x1b[1;31mA\x1b[mX", style(none));
    row("a trailing separator resets", u"\x1b[31;1;mX", style(none));
    row("a leading separator is a reset then the rest", u"\x1b[31m\x1b[;1mX",
        style(none, none, TextStyle::Bold));
    row("22 ends bold and dim", u"\x1b[1;2;3mA\x1b[22mX", style(none, none, TextStyle::Italic));
    row("23, 24, 27 end their attribute", u"\x1b[3;4;7;1mA\x1b[23;24;27mX",
        style(none, none, TextStyle::Bold));
    row("39 and 49 restore the default colours", u"\x1b[1;31;44mA\x1b[39;49mX",
        style(none, none, TextStyle::Bold));
    row("blink and conceal are ignored", u"\x1b[33m\x1b[5;8mX", style(xtermColor(3)));
    row("private-marker SGR is not a colour", u"\x1b[32m\x1b[>4;2mX", style(xtermColor(2)));
    row("ESC c is a full reset",
        u"\x1b[1;31mA\x1b"
        u"cX",
        style(none));
}

void TestAnsiParser::selectGraphicRendition() {
    QFETCH(QString, input);
    QFETCH(TextStyle, expected);
    const Transcript out = parsedWhole(input);
    QVERIFY2(out.text.endsWith(QLatin1Char('X')), qPrintable(out.events));
    QVERIFY2(!out.text.contains(QLatin1Char('[')), qPrintable(out.events));
    const TextStyle got = out.styles.last();
    QCOMPARE(got.foreground, expected.foreground);
    QCOMPARE(got.background, expected.background);
    QCOMPARE(got.flags, expected.flags);
}

void TestAnsiParser::foreignSequencesAndControls_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("events");

    const auto row = [](const char* name, const char16_t* input, const char* events) {
        QTest::newRow(name) << QString::fromUtf16(input) << QString::fromUtf8(events);
    };
    row("line feed", u"a\nb", "a<LF>b");
    row("vertical tab and form feed move down",
        u"a\x0b"
        u"b\x0c"
        u"c",
        "a<LF>b<LF>c");
    row("carriage return", u"10%\r20%", "10%<CR>20%");
    row("backspace", u"ab\bc", "ab<BS>c");
    row("tab", u"a\tb", "a<HT>b");
    row("erase to end of line", u"a\x1b[Kb\x1b[0K", "a<EL0>b<EL0>");
    row("erase to start and whole line", u"\x1b[1K\x1b[2K", "<EL1><EL2>");
    row("erase with an unknown mode", u"a\x1b[3Kb", "ab");
    row("cursor movement", u"a\x1b[5A\x1b[2;10H\x1b[3C\x1b[G\x1b[sb\x1b[u", "ab");
    row("erase display", u"a\x1b[2J\x1b[3Jb", "ab");
    row("private modes", u"\x1b[?25l\x1b[?1049h\x1b[?2004hok\x1b[?25h", "ok");
    row("cursor style with an intermediate", u"\x1b[2 qok", "ok");
    row("window title ended by BEL", u"\x1b]0;my title\x07ok", "ok");
    row("window title ended by ST", u"\x1b]2;my title\x1b\\ok", "ok");
    row("hyperlink", u"\x1b]8;id=1;https://127.0.0.1/x\x1b\\link\x1b]8;;\x1b\\ ok", "link ok");
    row("device control string", u"\x1bP1$r0m\x1b\\ok", "ok");
    row("privacy message and APC", u"\x1b^secret\x1b\\\x1b_app\x1b\\ok", "ok");
    row("charset and keypad selection", u"\x1b(B\x1b)0\x1b=\x1b>ok", "ok");
    row("save and restore cursor",
        u"\x1b"
        u"7ok\x1b"
        u"8",
        "ok");
    row("C1 CSI and OSC",
        u"\x9b"
        u"2Jok\x9d"
        u"0;title\x9c!",
        "ok!");
    row("other C0 and C1 controls draw nothing",
        u"a\x01\x02\x03\x07\x0e\x0f\x10\x1c\x1f\x7f\x80\x85\x8f\x99"
        u"b",
        "ab");
    row("a control inside CSI is executed", u"\x1b[3\n1mX", "<LF>X");
    row("ESC inside CSI starts over", u"\x1b[31\x1b[32mX", "X");
    row("CAN aborts a sequence", u"\x1b[31\x18X", "X");
    row("SUB aborts a string", u"\x1b]0;tit\x1aX", "X");
    row("ESC then a non-ASCII letter shows the letter", u"\x1bé", "é");
    row("text around a sequence keeps its order", u"one\x1b[1mtwo\x1b[0mthree", "onetwothree");
    row("non-BMP text passes through", u"\x1b[32m🔧 ok", "🔧 ok");
}

void TestAnsiParser::foreignSequencesAndControls() {
    QFETCH(QString, input);
    QFETCH(QString, events);
    QCOMPARE(parsedWhole(input).events, events);
}

void TestAnsiParser::splitAnywhereGivesTheSameResult() {
    QFETCH(QString, input);
    const Transcript whole = parsedWhole(input);
    for (qsizetype at = 1; at < input.size(); ++at) {
        Transcript out;
        AnsiParser parser;
        parser.feed(QStringView(input).first(at), out);
        parser.feed(QStringView(input).sliced(at), out);
        QVERIFY2(out.events == whole.events, qPrintable(QStringLiteral("split at %1").arg(at)));
        QVERIFY2(out.styles == whole.styles, qPrintable(QStringLiteral("split at %1").arg(at)));
    }
    Transcript out;
    AnsiParser parser;
    for (qsizetype at = 0; at < input.size(); ++at)
        parser.feed(QStringView(input).sliced(at, 1), out);
    QCOMPARE(out.events, whole.events);
    QVERIFY(out.styles == whole.styles);
}

void TestAnsiParser::unterminatedStringShowsNothingAndEndsCleanly() {
    Transcript out;
    AnsiParser parser;
    parser.feed(u"before\x1b]0;", out);
    const QString body(1 << 20, QLatin1Char('t'));
    for (int i = 0; i < 4; ++i)
        parser.feed(body, out);
    parser.feed(u"\x07"
                u"after",
                out);
    QCOMPARE(out.events, QStringLiteral("beforeafter"));
}

void TestAnsiParser::oversizedParametersAreHarmless() {
    QString many = QStringLiteral("\x1b[");
    for (int i = 0; i < 200; ++i)
        many += QStringLiteral("1;");
    many += QStringLiteral("31mX\x1b[99999999999999999999mY\x1b[38;5;99999999mZ");
    const Transcript out = parsedWhole(many);
    QCOMPARE(out.events, QStringLiteral("XYZ"));
    QVERIFY(out.styles.first().has(TextStyle::Bold));
}

void TestAnsiParser::resetForgetsStyleAndPendingSequence() {
    Transcript out;
    AnsiParser parser;
    parser.feed(u"\x1b[1;31mA\x1b[4", out);
    parser.reset();
    QVERIFY(parser.style().isDefault());
    parser.feed(u"mB", out);
    QCOMPARE(out.events, QStringLiteral("AmB"));
    QVERIFY(out.styles.last().isDefault());
}

HALVANE_TEST_GUILESS_MAIN(TestAnsiParser)
#include "tst_ansiparser.moc"
