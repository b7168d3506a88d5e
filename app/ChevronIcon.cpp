#include "ChevronIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {
QPixmap chevron(int size, bool problem) {
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
    const QColor colour = problem ? QColor(255, 176, 0) : QColor(0, 230, 90);
    painter.setPen(QPen(colour, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(path);
    if (problem) {
        // A dot in the corner reads as "something is wrong" even where colour is hard to tell.
        const qreal r = std::max(2.5, s * 0.16);
        painter.setPen(QPen(QColor(20, 20, 20, 220), std::max(1.0, s / 32.0)));
        painter.setBrush(QColor(230, 40, 40));
        painter.drawEllipse(QPointF(s - r - 0.5, r + 0.5), r, r);
    }
    return pixmap;
}
} // namespace

QIcon chevronIcon(bool problem) {
    QIcon icon;
    for (int size : {16, 20, 22, 24, 32, 40, 48, 64})
        icon.addPixmap(chevron(size, problem));
    return icon;
}
