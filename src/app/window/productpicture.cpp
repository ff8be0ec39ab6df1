#include "app/window/productpicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace quarwin {

QImage ProductPicture(int size) {
    if (size < 16) size = 16;
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);

    // Cable from the reader down to the sensor probe.
    QPainterPath cable;
    cable.moveTo(17, 36);
    cable.cubicTo(17, 46, 33, 44, 36, 34);
    p.setPen(QPen(QColor(40, 40, 40), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(cable);

    // The probe: a slim capsule with a pointed tip.
    QPainterPath probe;
    probe.addRoundedRect(QRectF(32, 8, 8, 24), 4, 4);
    probe.moveTo(33, 30);
    probe.lineTo(36, 37);
    probe.lineTo(39, 30);
    QLinearGradient steel(32, 0, 40, 0);
    steel.setColorAt(0, QColor(150, 158, 166));
    steel.setColorAt(0.5, QColor(236, 240, 244));
    steel.setColorAt(1, QColor(120, 128, 136));
    p.setPen(QPen(QColor(70, 76, 84), 1));
    p.setBrush(steel);
    p.drawPath(probe);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(214, 122, 24));
    p.drawRect(QRectF(32.5, 12, 7, 3));

    // The reader body.
    QLinearGradient body(0, 4, 0, 38);
    body.setColorAt(0, QColor(38, 104, 170));
    body.setColorAt(1, QColor(18, 58, 104));
    p.setPen(QPen(QColor(12, 36, 66), 1.2));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(5, 4, 24, 34), 5, 5);

    // Its display with a rising trace.
    p.setPen(QPen(QColor(10, 30, 20), 0.8));
    p.setBrush(QColor(178, 226, 160));
    p.drawRoundedRect(QRectF(8.5, 8, 17, 12), 1.5, 1.5);
    QPainterPath trace;
    trace.moveTo(10.5, 17.5);
    trace.lineTo(14, 14.5);
    trace.lineTo(17, 16);
    trace.lineTo(20.5, 11);
    trace.lineTo(23.5, 12.5);
    p.setPen(QPen(QColor(20, 70, 30), 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(trace);

    // Keys.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(222, 228, 236));
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawRoundedRect(QRectF(9 + col * 6, 24 + row * 5.5, 4, 3.5), 1, 1);

    // The update arrow over the corner.
    QPainterPath arrow;
    arrow.moveTo(38, 47);
    arrow.lineTo(47, 38);
    arrow.lineTo(47, 47);
    arrow.closeSubpath();
    p.setBrush(QColor(46, 160, 67));
    p.setPen(QPen(QColor(20, 90, 36), 1));
    p.drawPath(arrow);
    p.end();
    return image;
}

}  // namespace quarwin
