#include "TextStyle.h"

TextStyle::Rgb xtermColor(int index) {
    static constexpr TextStyle::Rgb named[16] = {
        0xff000000, 0xffcd0000, 0xff00cd00, 0xffcdcd00, 0xff0000ee, 0xffcd00cd,
        0xff00cdcd, 0xffe5e5e5, 0xff7f7f7f, 0xffff0000, 0xff00ff00, 0xffffff00,
        0xff5c5cff, 0xffff00ff, 0xff00ffff, 0xffffffff,
    };
    if (index < 0 || index > 255)
        return TextStyle::DefaultColor;
    if (index < 16)
        return named[index];
    if (index < 232) {
        static constexpr int levels[6] = {0, 95, 135, 175, 215, 255};
        const int i = index - 16;
        return opaqueRgb(levels[i / 36], levels[(i / 6) % 6], levels[i % 6]);
    }
    const int grey = 8 + 10 * (index - 232);
    return opaqueRgb(grey, grey, grey);
}
