#include "LiveLabel.h"

#include "LiveLabelAccessible.h"

LiveLabel::LiveLabel(QAccessible::Role role, const QString& name, QWidget* parent)
    : QLabel(parent), role_(role) {
    LiveLabelAccessible::installFactory();
    setAccessibleName(name);
    announceTimer_.setSingleShot(true);
    announceTimer_.setInterval(AnnounceIntervalMs);
    connect(&announceTimer_, &QTimer::timeout, this, &LiveLabel::announce);
}

void LiveLabel::setLiveText(const QString& text) {
    setText(text);
    if (!announceTimer_.isActive())
        announce(); // the first change is told at once, the next ones when the interval is over
}

void LiveLabel::announce() {
    if (text() == announced_)
        return;
    announceTimer_.start();
    QAccessibleTextUpdateEvent update(this, 0, announced_, text());
    QAccessible::updateAccessibility(&update);
    QAccessibleValueChangeEvent value(this, text());
    QAccessible::updateAccessibility(&value);
    announced_ = text();
    Q_EMIT announced(announced_);
}
