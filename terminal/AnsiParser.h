#pragma once

#include "TextStyle.h"

#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <array>

// What the parser drives: a screen of lines with a cursor that moves over them. Counts are at
// least 1; rows and columns are 0-based cells.
class TerminalSink {
public:
    enum class Move : quint8 { Up, Down, Forward, Back, ToColumn, ToRow };
    enum class CharEdit : quint8 { Erase, Insert, Delete };

    virtual ~TerminalSink() = default;
    virtual void write(QStringView text, const TextStyle& style) = 0;
    virtual void newLine() = 0;
    virtual void carriageReturn() = 0;
    virtual void backspace() = 0;
    virtual void tab() = 0;
    // 0: cursor to end of line, 1: start of line to cursor, 2: the whole line.
    virtual void eraseInLine(int mode) = 0;
    // The same for the screen: 0 from the cursor on, 1 up to the cursor, 2 all of it.
    virtual void eraseInDisplay(int mode) = 0;
    virtual void moveCursor(Move move, int amount) = 0;
    // Blanks, inserts blanks at, or deletes `count` cells from the cursor on.
    virtual void editChars(CharEdit edit, int count) = 0;
    virtual void saveCursor() = 0;
    virtual void restoreCursor() = 0;
    // The text that follows links to `uri` (none when empty); returns the number that styles
    // carry for it, 0 for none.
    virtual quint16 hyperlink(QStringView uri) = 0;
};

// Turns a stream of terminal output into styled text for a TerminalSink. Keeps its state
// between chunks, so an escape sequence split anywhere is still understood. Interprets SGR
// (colours and attributes), cursor movement, erasing and the editing of characters in a line,
// saving the cursor and hyperlinks (OSC 8); every other escape, control or operating-system
// sequence is consumed without a trace. A string sequence left open (OSC, DCS, ...) is given up
// at a newline or after MaxStringChars, so a program that never ends one cannot hide the rest.
// A value: copied, it carries on from the same point.
class AnsiParser {
public:
    void feed(QStringView text, TerminalSink& sink);
    // Moves over valid UTF-8 text that will not be shown, keeping only what text after it
    // needs: the style in effect and any sequence left unfinished. Decodes nothing.
    void skip(QByteArrayView utf8);
    void reset();
    const TextStyle& style() const { return style_; }

private:
    enum class State : quint8 {
        Ground,
        Escape,
        EscapeIntermediate,
        Csi,
        CsiIgnore,
        String,       // OSC, DCS, SOS, PM, APC: ends with BEL or ST
        StringEscape, // an ESC inside a string: ST if a backslash follows
    };
    static constexpr int MaxParams = 32;
    // Longer than any title or hyperlink; what follows a longer string is shown as text.
    static constexpr int MaxStringChars = 4096;

    // One UTF-16 unit in any state; false when it ended a sequence without belonging to it and
    // must be looked at again.
    template <typename Sink> bool step(char16_t c, Sink& sink);
    template <typename Sink> void execute(char16_t c, Sink& sink);
    void enterCsi();
    void enterString(bool osc);
    template <typename Sink> void endString(Sink& sink);
    // SGR 0: the colours and attributes, not a hyperlink, which ends only by its own sequence.
    void resetRendition();
    void addParam();
    void csiDigit(char16_t c);
    void csiSeparator(char16_t c);
    template <typename Sink> void csiDispatch(char16_t final, Sink& sink);
    template <typename Sink> void escapeDispatch(char16_t final, Sink& sink);
    // Parameter `i`, or `fallback` when it is missing or 0.
    int amount(int i, int fallback = 1) const;
    void selectGraphicRendition();
    // Reads an extended colour (38/48) starting after the introducer at index i; returns the
    // index of the last parameter it used.
    int extendedColor(int i, TextStyle::Rgb& color) const;

    State state_ = State::Ground;
    TextStyle style_;
    TextStyle savedStyle_; // saving the cursor saves the colours too
    std::array<int, MaxParams> params_{};
    std::array<bool, MaxParams> subParam_{}; // introduced by ':' rather than ';'
    int paramCount_ = 0;
    bool paramOpen_ = false;
    bool nextSub_ = false;
    char16_t privateMarker_ = 0;
    bool intermediate_ = false;
    int stringChars_ = 0;
    bool osc_ = false;
    QString oscText_; // of the operating-system command being read
};
