#pragma once

#include <QColor>
#include <QtGlobal>

// How a run of terminal text looks. Colours are resolved RGB; an alpha of zero stands for the
// pane's own default (green text on black), so a reset and an explicit default compare equal.
struct TextStyle {
    enum Flag : quint8 {
        Bold = 1,
        Dim = 2,
        Italic = 4,
        Underline = 8,
        Inverse = 16,
        Strike = 32,
    };
    static constexpr QRgb DefaultColor = 0;

    QRgb foreground = DefaultColor;
    QRgb background = DefaultColor;
    quint8 flags = 0;

    bool has(Flag flag) const { return flags & flag; }
    void set(Flag flag, bool on) { flags = on ? quint8(flags | flag) : quint8(flags & ~flag); }
    bool isDefault() const { return *this == TextStyle{}; }
    bool operator==(const TextStyle&) const = default;

    // The colours a painter uses, with inverse and dim applied.
    QColor paintedForeground(QColor defaultForeground, QColor defaultBackground) const;
    // Invalid when the pane's background shows through.
    QColor paintedBackground(QColor defaultForeground) const;
};

// The xterm palette: 0-15 the 16 named colours, 16-231 the colour cube, 232-255 greys.
QRgb xtermColor(int index);
