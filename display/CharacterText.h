#pragma once

#include <QAccessible>
#include <QString>

// A piece of plain text as assistive technologies read it: offsets count characters (code
// points, as AT-SPI does), so a surrogate pair is one; word, sentence and line boundaries are
// Qt's own.
class CharacterText final {
public:
    enum class Side { Before, At, After };

    explicit CharacterText(QString text) : text_(std::move(text)) {}

    static qsizetype count(QStringView text);
    // Where the `characters`th character of `text` starts, in UTF-16 units; its end when shorter.
    static qsizetype units(QStringView text, qsizetype characters);

    int characterCount() const { return int(count(text_)); }
    QString text(int startOffset, int endOffset) const;
    // The piece at the boundary before, around or after `offset`, with its bounds; `cursor` is
    // where the caret is.
    QString near(Side side, int offset, QAccessible::TextBoundaryType boundaryType, int cursor,
                 int* startOffset, int* endOffset) const;

private:
    QString text_;
};
