#include "ChevronIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {
QPixmap chevron(int size, const QColor& colour) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPainterPath path;
    path.moveTo(s * 0.18, s * 0.68);
    path.lineTo(s * 0.5, s * 0.34);
    path.lineTo(s * 0.82, s * 0.68);
    const qreal stroke = std::max(2.0, s / 7.0);
    painter.setPen(
        QPen(QColor(20, 20, 20, 220), stroke + 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
    painter.setPen(QPen(colour, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
    return pixmap;
}
} // namespace

QIcon chevronIcon() {
    return chevronIcon(false);
}

QIcon chevronIcon(bool problem) {
    const QColor colour = problem ? QColor(255, 110, 30) : QColor(0, 230, 90);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(chevron(size, colour));
    return icon;
}
