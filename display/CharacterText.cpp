#include "CharacterText.h"

namespace {
// Qt's boundaries over UTF-16 units; CharacterText turns its offsets into characters.
struct Utf16Text final : QAccessibleTextInterface {
    const QString& excerpt;
    int cursor = 0;
    Utf16Text(const QString& text, int at) : excerpt(text), cursor(at) {}
    void selection(int, int* s, int* e) const override { *s = *e = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return cursor; }
    void setCursorPosition(int) override {}
    QString text(int s, int e) const override { return excerpt.mid(s, e - s); }
    int characterCount() const override { return int(excerpt.size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int*, int*) const override { return {}; }
};
} // namespace

qsizetype CharacterText::count(QStringView text) {
    qsizetype pairs = 0;
    for (qsizetype i = 1; i < text.size(); ++i)
        pairs += text[i].isLowSurrogate() && text[i - 1].isHighSurrogate();
    return text.size() - pairs;
}

qsizetype CharacterText::units(QStringView text, qsizetype characters) {
    qsizetype at = 0;
    for (; at < text.size() && characters > 0; --characters, ++at)
        if (text[at].isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate())
            ++at;
    return at;
}

QString CharacterText::text(int startOffset, int endOffset) const {
    const qsizetype from = units(text_, std::max(0, startOffset));
    return startOffset >= endOffset ? QString() : text_.mid(from, units(text_, endOffset) - from);
}

QString CharacterText::near(Side side, int offset, QAccessible::TextBoundaryType boundaryType,
                            int cursor, int* startOffset, int* endOffset) const {
    const Utf16Text utf16(text_, int(units(text_, std::max(0, cursor))));
    const int at = offset < 0 ? offset : int(units(text_, offset));
    QString result;
    switch (side) {
    case Side::Before:
        result = utf16.textBeforeOffset(at, boundaryType, startOffset, endOffset);
        break;
    case Side::At:
        result = utf16.textAtOffset(at, boundaryType, startOffset, endOffset);
        break;
    case Side::After:
        result = utf16.textAfterOffset(at, boundaryType, startOffset, endOffset);
        break;
    }
    for (int* bound : {startOffset, endOffset})
        if (*bound > 0)
            *bound = int(count(QStringView(text_).first(*bound)));
    return result;
}
