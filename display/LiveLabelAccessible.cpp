#include "LiveLabelAccessible.h"

#include "CharacterText.h"
#include "LiveLabel.h"

namespace {
QAccessibleInterface* createFor(const QString& className, QObject* object) {
    if (className == QLatin1String("LiveLabel"))
        if (auto* label = qobject_cast<LiveLabel*>(object))
            return new LiveLabelAccessible(label);
    return nullptr;
}
} // namespace

LiveLabelAccessible::LiveLabelAccessible(LiveLabel* label)
    : QAccessibleWidget(label, label->role()) {}

void LiveLabelAccessible::installFactory() {
    static const bool installed = [] {
        QAccessible::installFactory(createFor);
        return true;
    }();
    Q_UNUSED(installed);
}

QString LiveLabelAccessible::shown() const {
    return static_cast<const QLabel*>(widget())->text();
}

void* LiveLabelAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString LiveLabelAccessible::text(QAccessible::Text t) const {
    return t == QAccessible::Value ? shown() : QAccessibleWidget::text(t);
}

QAccessible::State LiveLabelAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = widget()->property("wordWrap").toBool();
    return s;
}

void LiveLabelAccessible::selection(int, int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = 0;
}

QString LiveLabelAccessible::text(int startOffset, int endOffset) const {
    return CharacterText(shown()).text(startOffset, endOffset < 0 ? characterCount() : endOffset);
}

QString LiveLabelAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType type,
                                              int* startOffset, int* endOffset) const {
    return CharacterText(shown()).near(CharacterText::Side::Before, offset, type, 0, startOffset,
                                       endOffset);
}

QString LiveLabelAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType type,
                                             int* startOffset, int* endOffset) const {
    return CharacterText(shown()).near(CharacterText::Side::After, offset, type, 0, startOffset,
                                       endOffset);
}

QString LiveLabelAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType type,
                                          int* startOffset, int* endOffset) const {
    return CharacterText(shown()).near(CharacterText::Side::At, offset, type, 0, startOffset,
                                       endOffset);
}

int LiveLabelAccessible::characterCount() const {
    return CharacterText(shown()).characterCount();
}

QString LiveLabelAccessible::attributes(int, int* startOffset, int* endOffset) const {
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}
