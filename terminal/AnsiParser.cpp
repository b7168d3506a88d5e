#include "AnsiParser.h"

#include <algorithm>
#include <cstring>
#include <string.h> // memrchr

namespace {
constexpr char16_t ESC = 0x1b;
constexpr char16_t CAN = 0x18;
constexpr char16_t SUB = 0x1a;
constexpr char16_t BEL = 0x07;
constexpr char16_t C1_CSI = 0x9b;
constexpr char16_t C1_ST = 0x9c;
constexpr char16_t C1_OSC = 0x9d;

// Anything the screen shows: not a C0 control, not DEL, not a C1 control.
inline bool printable(char16_t c) {
    if (c >= 0x20 && c < 0x7f)
        return true;
    return c >= 0xa0;
}

inline bool isC0(char16_t c) {
    return c < 0x20;
}

TextStyle::Rgb clampedRgb(int r, int g, int b) {
    return opaqueRgb(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255));
}
} // namespace

void AnsiParser::reset() {
    state_ = State::Ground;
    style_ = {};
    savedStyle_ = {};
    paramCount_ = 0;
    paramOpen_ = false;
    privateMarker_ = 0;
    intermediate_ = false;
    stringChars_ = 0;
}

void AnsiParser::enterString(bool osc) {
    state_ = State::String;
    stringChars_ = 0;
    osc_ = osc;
    oscText_.clear();
}

template <typename Sink> void AnsiParser::endString(Sink& sink) {
    state_ = State::Ground;
    if (!osc_ || !oscText_.startsWith(u"8;"))
        return;
    // 8 ; parameters ; URI
    const qsizetype uri = oscText_.indexOf(u';', 2);
    if (uri >= 0)
        style_.link = sink.hyperlink(QStringView(oscText_).sliced(uri + 1));
    oscText_.clear();
}

void AnsiParser::resetRendition() {
    const quint16 link = style_.link;
    style_ = {};
    style_.link = link;
}

void AnsiParser::enterCsi() {
    state_ = State::Csi;
    paramCount_ = 0;
    paramOpen_ = false;
    nextSub_ = false;
    privateMarker_ = 0;
    intermediate_ = false;
}

void AnsiParser::addParam() {
    if (paramCount_ < MaxParams) {
        params_[paramCount_] = 0;
        subParam_[paramCount_] = nextSub_;
    }
    ++paramCount_;
}

inline void AnsiParser::csiDigit(char16_t c) {
    if (!paramOpen_) {
        addParam();
        paramOpen_ = true;
    }
    if (paramCount_ <= MaxParams) {
        int& value = params_[paramCount_ - 1];
        value = std::min(value * 10 + (c - u'0'), 0xffff);
    }
}

inline void AnsiParser::csiSeparator(char16_t c) {
    if (!paramOpen_)
        addParam();
    paramOpen_ = false;
    nextSub_ = c == u':';
}

template <typename Sink> void AnsiParser::execute(char16_t c, Sink& sink) {
    switch (c) {
    case u'\n':
    case 0x0b: // vertical tab and form feed move down like a line feed
    case 0x0c:
        sink.newLine();
        break;
    case u'\r':
        sink.carriageReturn();
        break;
    case u'\b':
        sink.backspace();
        break;
    case u'\t':
        sink.tab();
        break;
    default:
        break; // BEL and the rest have nothing to draw
    }
}

namespace {
// Stands in for the screen where the text is skipped: only the parser's state matters.
struct NullSink {
    void write(QStringView, const TextStyle&) {}
    void newLine() {}
    void carriageReturn() {}
    void backspace() {}
    void tab() {}
    void eraseInLine(int) {}
    void eraseInDisplay(int) {}
    void moveCursor(TerminalSink::Move, int) {}
    void editChars(TerminalSink::CharEdit, int) {}
    void saveCursor() {}
    void restoreCursor() {}
    quint16 hyperlink(QStringView) { return 0; }
};
} // namespace

template <typename Sink> bool AnsiParser::step(char16_t c, Sink& sink) {
    switch (state_) {
    case State::Ground:
        if (printable(c))
            sink.write(QStringView(&c, 1), style_);
        else if (c == ESC)
            state_ = State::Escape;
        else if (c == C1_CSI)
            enterCsi();
        else if (c == C1_OSC)
            enterString(true);
        else
            execute(c, sink);
        break;
    case State::Escape:
        if (c == u'[') {
            enterCsi();
        } else if (c == u']' || c == u'P' || c == u'X' || c == u'^' || c == u'_') {
            enterString(c == u']');
        } else if (c >= 0x20 && c <= 0x2f) {
            state_ = State::EscapeIntermediate;
        } else if (c >= 0x30 && c <= 0x7e) {
            state_ = State::Ground;
            escapeDispatch(c, sink);
        } else if (c == ESC) {
            // a new sequence starts; the old one is dropped
        } else if (c == CAN || c == SUB) {
            state_ = State::Ground;
        } else if (isC0(c)) {
            execute(c, sink);
        } else {
            state_ = State::Ground;
            return false; // not part of any sequence: shown as text
        }
        break;
    case State::EscapeIntermediate:
        if (c >= 0x20 && c <= 0x2f) {
        } else if (c >= 0x30 && c <= 0x7e) {
            state_ = State::Ground;
        } else if (c == ESC) {
            state_ = State::Escape;
        } else if (c == CAN || c == SUB) {
            state_ = State::Ground;
        } else if (isC0(c)) {
            execute(c, sink);
        } else if (c != 0x7f) {
            state_ = State::Ground;
            return false;
        }
        break;
    case State::Csi:
        if (c >= u'0' && c <= u'9') {
            if (intermediate_)
                state_ = State::CsiIgnore;
            else
                csiDigit(c);
        } else if (c == u';' || c == u':') {
            if (intermediate_)
                state_ = State::CsiIgnore;
            else
                csiSeparator(c);
        } else if (c >= 0x3c && c <= 0x3f) {
            if (paramCount_ == 0 && !privateMarker_ && !intermediate_)
                privateMarker_ = c;
            else
                state_ = State::CsiIgnore;
        } else if (c >= 0x20 && c <= 0x2f) {
            intermediate_ = true;
        } else if (c >= 0x40 && c <= 0x7e) {
            if (!paramOpen_ && paramCount_ > 0)
                addParam(); // a trailing separator leaves an empty, i.e. zero, parameter
            csiDispatch(c, sink);
            state_ = State::Ground;
        } else if (c == ESC) {
            state_ = State::Escape;
        } else if (c == CAN || c == SUB) {
            state_ = State::Ground;
        } else if (isC0(c)) {
            execute(c, sink);
        } else if (c != 0x7f) {
            state_ = State::Ground;
            return false;
        }
        break;
    case State::CsiIgnore:
        if (c >= 0x40 && c <= 0x7e) {
            state_ = State::Ground;
        } else if (c == ESC) {
            state_ = State::Escape;
        } else if (c == CAN || c == SUB) {
            state_ = State::Ground;
        } else if (isC0(c)) {
            execute(c, sink);
        } else if (c >= 0x80) {
            state_ = State::Ground;
            return false;
        }
        break;
    case State::String:
        // Titles and device strings are not shown, so only a command's text is kept, for a
        // hyperlink. One left open ends at a line break, which acts, or at the bound, where
        // the text from there on shows: the output must not vanish behind a program's mistake.
        if (c == BEL || c == C1_ST) {
            endString(sink);
        } else if (c == CAN || c == SUB) {
            state_ = State::Ground;
        } else if (c == ESC) {
            state_ = State::StringEscape;
        } else if (c == u'\n' || ++stringChars_ > MaxStringChars) {
            state_ = State::Ground;
            return false;
        } else if (osc_) {
            oscText_.append(QChar(c));
        }
        break;
    case State::StringEscape:
        if (c == u'\\') {
            endString(sink);
        } else {
            // ESC followed by anything else ends the string and starts a new sequence.
            state_ = State::Escape;
            return false;
        }
        break;
    }
    return true;
}

void AnsiParser::feed(QStringView text, TerminalSink& sink) {
    const char16_t* p = text.utf16();
    const char16_t* const end = p + text.size();
    while (p < end) {
        if (state_ == State::Ground) {
            const char16_t* start = p;
            while (p < end && printable(*p))
                ++p;
            if (p > start)
                sink.write(QStringView(start, p), style_);
            if (p == end)
                break;
            if (*p == ESC && end - p > 2 && p[1] == u'[') {
                // The usual sequence, colours, read in one go; the state machine takes over
                // wherever it holds anything else.
                enterCsi();
                p += 2;
                for (; p < end; ++p) {
                    if (*p >= u'0' && *p <= u'9')
                        csiDigit(*p);
                    else if (*p == u';' || *p == u':')
                        csiSeparator(*p);
                    else
                        break;
                }
                if (p < end && *p >= 0x40 && *p <= 0x7e) {
                    if (!paramOpen_ && paramCount_ > 0)
                        addParam();
                    csiDispatch(*p++, sink);
                    state_ = State::Ground;
                }
                continue;
            }
        }
        // A character that ends a sequence without belonging to it is looked at again.
        if (step(*p, sink))
            ++p;
    }
}

void AnsiParser::skip(QByteArrayView utf8) {
    NullSink none;
    const auto* p = reinterpret_cast<const uchar*>(utf8.data());
    const auto* const end = p + utf8.size();
    // "ESC [ m" and "ESC [ 0 m" leave the parser in one state whatever came before them (an
    // ESC ends any sequence), so only what follows the last of them needs a look.
    for (const uchar* before = end; before > p;) {
        const auto* escape = static_cast<const uchar*>(::memrchr(p, ESC, size_t(before - p)));
        if (!escape)
            break;
        const QByteArrayView rest(escape, end - escape);
        if (rest.startsWith("\x1b[m") || rest.startsWith("\x1b[0m")) {
            // What a skip moves over never saves the cursor, so the saved colours carry on.
            const TextStyle saved = savedStyle_;
            *this = AnsiParser();
            savedStyle_ = saved;
            p = escape + (rest[2] == 'm' ? 3 : 4);
            break;
        }
        before = escape;
    }
    while (p < end) {
        if (state_ == State::Ground) {
            // Text is not kept, and line controls change nothing here: run to the next byte
            // that may start a sequence, an ESC or the first byte of a C1 control.
            const auto* escape = static_cast<const uchar*>(std::memchr(p, ESC, size_t(end - p)));
            const uchar* const stop = escape ? escape : end;
            const auto* c1 = static_cast<const uchar*>(std::memchr(p, 0xc2, size_t(stop - p)));
            p = c1 ? c1 : stop;
            if (p == end)
                break;
        }
        // What the next character is to the state machine, as the UTF-16 units it decodes to:
        // ASCII and the C1 controls as themselves, anything else as some printable unit.
        char16_t units[2] = {*p, 0};
        int count = 1;
        qsizetype length = 1;
        if (*p >= 0x80) {
            if (*p == 0xc2 && end - p > 1) {
                units[0] = p[1];
                length = 2;
            } else if (*p >= 0xf0) {
                units[0] = 0xd800;
                units[1] = 0xdc00;
                count = 2;
                length = 4;
            } else {
                units[0] = 0xa0;
                length = *p >= 0xe0 ? 3 : *p >= 0xc0 ? 2 : 1;
            }
        }
        for (int i = 0; i < count; ++i)
            while (!step(units[i], none)) {
            }
        p += std::min<qsizetype>(length, end - p);
    }
}

int AnsiParser::amount(int i, int fallback) const {
    const int value = i < std::min(paramCount_, MaxParams) ? params_[i] : 0;
    return value > 0 ? value : fallback;
}

template <typename Sink> void AnsiParser::escapeDispatch(char16_t final, Sink& sink) {
    switch (final) {
    case u'7':
        savedStyle_ = style_;
        sink.saveCursor();
        break;
    case u'8':
        style_ = savedStyle_;
        sink.restoreCursor();
        break;
    case u'c': // full reset
        style_ = {};
        break;
    default:
        break;
    }
}

template <typename Sink> void AnsiParser::csiDispatch(char16_t final, Sink& sink) {
    if (privateMarker_ || intermediate_)
        return;
    using Move = TerminalSink::Move;
    using Edit = TerminalSink::CharEdit;
    switch (final) {
    case u'm':
        selectGraphicRendition();
        break;
    case u'K':
    case u'J': {
        const int mode = paramCount_ > 0 ? params_[0] : 0;
        if (mode >= 0 && mode <= 2)
            final == u'K' ? sink.eraseInLine(mode) : sink.eraseInDisplay(mode);
        break;
    }
    case u'E':
    case u'F':
        sink.moveCursor(final == u'E' ? Move::Down : Move::Up, amount(0));
        sink.moveCursor(Move::ToColumn, 0);
        break;
    case u'H':
    case u'f':
        sink.moveCursor(Move::ToRow, amount(0) - 1);
        sink.moveCursor(Move::ToColumn, amount(1) - 1);
        break;
    case u's':
        if (paramCount_ == 0)
            escapeDispatch(u'7', sink);
        break;
    case u'u':
        if (paramCount_ == 0)
            escapeDispatch(u'8', sink);
        break;
    default: {
        // The sequences of one count: a distance, or a row or column counted from 1.
        struct Single {
            char16_t final;
            bool edit;
            int what; // a Move or a CharEdit
            int offset;
        };
        static constexpr Single singles[] = {
            {u'A', false, int(Move::Up), 0},        {u'B', false, int(Move::Down), 0},
            {u'e', false, int(Move::Down), 0},      {u'C', false, int(Move::Forward), 0},
            {u'a', false, int(Move::Forward), 0},   {u'D', false, int(Move::Back), 0},
            {u'G', false, int(Move::ToColumn), -1}, {u'`', false, int(Move::ToColumn), -1},
            {u'd', false, int(Move::ToRow), -1},    {u'X', true, int(Edit::Erase), 0},
            {u'@', true, int(Edit::Insert), 0},     {u'P', true, int(Edit::Delete), 0},
        };
        for (const Single& single : singles) {
            if (single.final != final)
                continue;
            if (single.edit)
                sink.editChars(Edit(single.what), amount(0));
            else
                sink.moveCursor(Move(single.what), amount(0) + single.offset);
            break;
        }
        break;
    }
    }
}

int AnsiParser::extendedColor(int i, TextStyle::Rgb& color) const {
    const int count = std::min(paramCount_, MaxParams);
    if (i + 1 >= count)
        return i;
    if (subParam_[i + 1]) {
        // ITU form: 38:5:n or 38:2:[colour space]:r:g:b
        int subEnd = i + 1;
        while (subEnd < count && subParam_[subEnd])
            ++subEnd;
        const int kind = params_[i + 1];
        const int values = subEnd - (i + 2);
        if (kind == 5 && values >= 1 && params_[i + 2] <= 255)
            color = xtermColor(params_[i + 2]);
        else if (kind == 2 && values >= 3)
            color = clampedRgb(params_[subEnd - 3], params_[subEnd - 2], params_[subEnd - 1]);
        return subEnd - 1;
    }
    const int kind = params_[i + 1];
    if (kind == 5) {
        if (i + 2 < count && params_[i + 2] <= 255)
            color = xtermColor(params_[i + 2]);
        return std::min(i + 2, count - 1);
    }
    if (kind == 2) {
        if (i + 4 < count)
            color = clampedRgb(params_[i + 2], params_[i + 3], params_[i + 4]);
        return std::min(i + 4, count - 1);
    }
    return count - 1; // unknown colour kind: the rest cannot be read reliably
}

void AnsiParser::selectGraphicRendition() {
    const int count = std::min(paramCount_, MaxParams);
    if (count == 0) {
        resetRendition();
        return;
    }
    for (int i = 0; i < count; ++i) {
        int last = i;
        while (last + 1 < count && subParam_[last + 1])
            ++last;
        const int p = params_[i];
        switch (p) {
        case 0:
            resetRendition();
            break;
        case 1:
            style_.set(TextStyle::Bold, true);
            break;
        case 2:
            style_.set(TextStyle::Dim, true);
            break;
        case 3:
            style_.set(TextStyle::Italic, true);
            break;
        case 4:
            // 4:0 is "no underline"; 4:1 to 4:5 are underline styles
            style_.set(TextStyle::Underline, last == i || params_[i + 1] != 0);
            break;
        case 7:
            style_.set(TextStyle::Inverse, true);
            break;
        case 9:
            style_.set(TextStyle::Strike, true);
            break;
        case 21:
            style_.set(TextStyle::Underline, true);
            break;
        case 22:
            style_.set(TextStyle::Bold, false);
            style_.set(TextStyle::Dim, false);
            break;
        case 23:
            style_.set(TextStyle::Italic, false);
            break;
        case 24:
            style_.set(TextStyle::Underline, false);
            break;
        case 27:
            style_.set(TextStyle::Inverse, false);
            break;
        case 29:
            style_.set(TextStyle::Strike, false);
            break;
        case 38:
            last = extendedColor(i, style_.foreground);
            break;
        case 39:
            style_.foreground = TextStyle::DefaultColor;
            break;
        case 48:
            last = extendedColor(i, style_.background);
            break;
        case 49:
            style_.background = TextStyle::DefaultColor;
            break;
        case 58: {
            TextStyle::Rgb ignored = 0; // underline colour: not drawn
            last = extendedColor(i, ignored);
            break;
        }
        default:
            if (p >= 30 && p <= 37)
                style_.foreground = xtermColor(p - 30);
            else if (p >= 40 && p <= 47)
                style_.background = xtermColor(p - 40);
            else if (p >= 90 && p <= 97)
                style_.foreground = xtermColor(p - 90 + 8);
            else if (p >= 100 && p <= 107)
                style_.background = xtermColor(p - 100 + 8);
            break; // blink, conceal, fonts and the rest: ignored
        }
        i = last;
    }
}
