#include "state_pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace pellan::gui {

namespace {

QPixmap Canvas(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void Disc(QPainter& p, int size, const QColor& fill) {
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(fill.darker(130), size / 16.0));
    p.setBrush(fill);
    const qreal m = size / 12.0;
    p.drawEllipse(QRectF(m, m, size - 2 * m, size - 2 * m));
}

QPen Mark(int size) {
    QPen pen(Qt::white, size / 8.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    return pen;
}

}  // namespace

QPixmap StatePicture(int state, int size) {
    QPixmap pixmap = Canvas(size);
    QPainter p(&pixmap);
    const qreal s = size;
    switch (state) {
        case 1: {  // running: blue with a play triangle
            Disc(p, size, QColor(0x1e, 0x6f, 0xd9));
            QPainterPath tri;
            tri.moveTo(s * 0.40, s * 0.30);
            tri.lineTo(s * 0.72, s * 0.50);
            tri.lineTo(s * 0.40, s * 0.70);
            tri.closeSubpath();
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawPath(tri);
            break;
        }
        case 2: {  // pass: green with a tick
            Disc(p, size, QColor(0x2e, 0xa0, 0x43));
            p.setPen(Mark(size));
            p.drawPolyline(QPolygonF({QPointF(s * 0.28, s * 0.52), QPointF(s * 0.44, s * 0.68),
                                      QPointF(s * 0.72, s * 0.34)}));
            break;
        }
        case 3: {  // fail: red with a cross
            Disc(p, size, QColor(0xd9, 0x2d, 0x20));
            p.setPen(Mark(size));
            p.drawLine(QPointF(s * 0.34, s * 0.34), QPointF(s * 0.66, s * 0.66));
            p.drawLine(QPointF(s * 0.66, s * 0.34), QPointF(s * 0.34, s * 0.66));
            break;
        }
        default: {  // ready: grey with a dot
            Disc(p, size, QColor(0x9a, 0xa3, 0xad));
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawEllipse(QPointF(s / 2, s / 2), s * 0.14, s * 0.14);
            break;
        }
    }
    return pixmap;
}

QIcon StartIcon() {
    QPixmap pixmap = Canvas(32);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath tri;
    tri.moveTo(9, 6);
    tri.lineTo(27, 16);
    tri.lineTo(9, 26);
    tri.closeSubpath();
    p.setPen(QPen(QColor(0x1b, 0x7a, 0x34), 2));
    p.setBrush(QColor(0x2e, 0xa0, 0x43));
    p.drawPath(tri);
    return QIcon(pixmap);
}

QIcon StopIcon() {
    QPixmap pixmap = Canvas(32);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xa3, 0x1f, 0x16), 2));
    p.setBrush(QColor(0xd9, 0x2d, 0x20));
    p.drawRoundedRect(QRectF(7, 7, 18, 18), 3, 3);
    return QIcon(pixmap);
}

QIcon ProgramIcon() {
    QPixmap pixmap = Canvas(64);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // A USB stick with a downward arrow.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2b, 0x4c, 0x7e));
    p.drawRoundedRect(QRectF(14, 4, 36, 44), 6, 6);
    p.setBrush(QColor(0xb8, 0xc2, 0xcc));
    p.drawRect(QRectF(22, 48, 20, 12));
    p.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(28, 12);
    arrow.lineTo(36, 12);
    arrow.lineTo(36, 26);
    arrow.lineTo(42, 26);
    arrow.lineTo(32, 38);
    arrow.lineTo(22, 26);
    arrow.lineTo(28, 26);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return QIcon(pixmap);
}

}  // namespace pellan::gui
