#include "artwork.h"

#include <QColor>
#include <QConicalGradient>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace artwork {
namespace {

const QPointF centre(48.0, 48.0);

void paintBackplate(QPainter &painter)
{
    QLinearGradient fill(0.0, 0.0, 0.0, 96.0);
    fill.setColorAt(0.0, QColor(0x2a, 0x3f, 0x6e));
    fill.setColorAt(1.0, QColor(0x0d, 0x16, 0x2e));
    painter.setPen(QPen(QColor(0x4a, 0x63, 0x9a), 1.5));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(2.0, 2.0, 92.0, 92.0), 18.0, 18.0);
}

void paintRingGauge(QPainter &painter)
{
    const QRectF ring(centre.x() - 37.0, centre.y() - 37.0, 74.0, 74.0);
    // Qt measures arcs in 1/16 degree, counter-clockwise from three o'clock;
    // the gauge opens at the bottom like a dial.
    const int start = 225 * 16;
    const int fullSweep = -270 * 16;
    const int valueSweep = fullSweep * 7 / 10;

    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x24, 0x33, 0x58), 7.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(ring, start, fullSweep);

    QConicalGradient value(centre, 225.0);
    value.setColorAt(0.0, QColor(0x3d, 0xdc, 0x84));
    value.setColorAt(0.35, QColor(0xf2, 0xd0, 0x3b));
    value.setColorAt(0.6, QColor(0xff, 0x7a, 0x2f));
    value.setColorAt(1.0, QColor(0x3d, 0xdc, 0x84));
    painter.setPen(QPen(QBrush(value), 7.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(ring, start, valueSweep);
}

void paintPins(QPainter &painter, const QRectF &body)
{
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xd8, 0xb4, 0x5a));
    const int pinsPerSide = 4;
    const qreal pinLength = 5.0;
    const qreal pinWidth = 3.0;
    const qreal pitch = body.width() / pinsPerSide;
    for (int i = 0; i < pinsPerSide; ++i) {
        const qreal along = pitch * (i + 0.5) - pinWidth / 2.0;
        painter.drawRect(QRectF(body.left() + along, body.top() - pinLength, pinWidth, pinLength));
        painter.drawRect(QRectF(body.left() + along, body.bottom(), pinWidth, pinLength));
        painter.drawRect(QRectF(body.left() - pinLength, body.top() + along, pinLength, pinWidth));
        painter.drawRect(QRectF(body.right(), body.top() + along, pinLength, pinWidth));
    }
}

void paintChip(QPainter &painter)
{
    const QRectF body(centre.x() - 16.0, centre.y() - 16.0, 32.0, 32.0);
    paintPins(painter, body);

    QLinearGradient casing(body.topLeft(), body.bottomRight());
    casing.setColorAt(0.0, QColor(0xe4, 0xe8, 0xef));
    casing.setColorAt(1.0, QColor(0x9a, 0xa3, 0xb5));
    painter.setPen(QPen(QColor(0x5c, 0x66, 0x7d), 1.0));
    painter.setBrush(casing);
    painter.drawRoundedRect(body, 3.5, 3.5);

    const QRectF die = body.adjusted(8.0, 8.0, -8.0, -8.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x27, 0x3a, 0x66));
    painter.drawRoundedRect(die, 2.0, 2.0);
    // Pin-one mark, so the chip reads as a chip even at 32 pixels.
    painter.setBrush(QColor(0x3d, 0xdc, 0x84));
    painter.drawEllipse(QPointF(body.left() + 4.5, body.top() + 4.5), 1.8, 1.8);
}

void paintSphere(QPainter &painter, const QPointF &at, qreal radius, const QColor &colour)
{
    QRadialGradient shading(at, radius, at + QPointF(-radius * 0.35, -radius * 0.4));
    shading.setColorAt(0.0, colour.lighter(185));
    shading.setColorAt(0.55, colour);
    shading.setColorAt(1.0, colour.darker(210));
    painter.setPen(Qt::NoPen);
    painter.setBrush(shading);
    painter.drawEllipse(at, radius, radius);
}

QImage transparentImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

} // namespace

QImage emblem(int edge)
{
    QImage image = transparentImage(edge, edge);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(qreal(edge) / emblemGrid, qreal(edge) / emblemGrid);
    paintBackplate(painter);
    paintRingGauge(painter);
    paintChip(painter);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage opaqueEmblem(int edge, const QColor &background)
{
    QImage image(edge, edge, QImage::Format_RGB32);
    image.fill(background);
    QPainter painter(&image);
    painter.drawImage(0, 0, emblem(edge));
    painter.end();
    return image;
}

QImage logo()
{
    QImage image = transparentImage(104, 83);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // Back to front, so the nearer spheres overlap the farther ones.
    paintSphere(painter, QPointF(52.0, 21.0), 19.0, QColor(0x2f, 0x7d, 0xe1));
    paintSphere(painter, QPointF(24.0, 45.0), 20.0, QColor(0xe2, 0x3b, 0x3b));
    paintSphere(painter, QPointF(80.0, 45.0), 20.0, QColor(0xf2, 0xc2, 0x1b));
    paintSphere(painter, QPointF(52.0, 61.0), 20.0, QColor(0x35, 0xb5, 0x4a));
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace artwork
