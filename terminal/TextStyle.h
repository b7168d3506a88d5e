#pragma once

#include <QtGlobal>

// How a run of terminal text looks. Colours are resolved 0xAARRGGBB values, laid out as Qt's
// QRgb; an alpha of zero stands for the pane's own default (green text on black), so a reset
// and an explicit default compare equal.
struct TextStyle {
    using Rgb = quint32;
    enum Flag : quint8 {
        Bold = 1,
        Dim = 2,
        Italic = 4,
        Underline = 8,
        Inverse = 16,
        Strike = 32,
    };
    static constexpr Rgb DefaultColor = 0;

    Rgb foreground = DefaultColor;
    Rgb background = DefaultColor;
    quint8 flags = 0;
    quint16 link = 0; // a hyperlink, by the number its screen gave it; 0 for none

    bool has(Flag flag) const { return flags & flag; }
    void set(Flag flag, bool on) { flags = on ? quint8(flags | flag) : quint8(flags & ~flag); }
    bool isDefault() const { return *this == TextStyle{}; }
    bool operator==(const TextStyle&) const = default;
};

// An opaque colour from its components.
constexpr TextStyle::Rgb opaqueRgb(int r, int g, int b) {
    return 0xff000000u | (TextStyle::Rgb(r & 0xff) << 16) | (TextStyle::Rgb(g & 0xff) << 8) |
           TextStyle::Rgb(b & 0xff);
}

// The xterm palette: 0-15 the 16 named colours, 16-231 the colour cube, 232-255 greys.
TextStyle::Rgb xtermColor(int index);
