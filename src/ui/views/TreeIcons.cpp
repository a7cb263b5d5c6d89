#include "ui/views/TreeIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <array>

namespace vx4 {

namespace {

// A folder in the given colour, the base of the three group icons.
void DrawFolder(QPainter& p, const QColor& body)
{
    p.setPen(QPen(body.darker(170), 1));
    p.setBrush(body.darker(115));
    p.drawRect(QRectF(1.5, 3.5, 6, 2));         // tab
    p.setBrush(body);
    p.drawRect(QRectF(1.5, 5.5, 13, 8.5));      // body
    p.setPen(QPen(body.lighter(140), 1));
    p.drawLine(QPointF(2.5, 6.5), QPointF(13.5, 6.5));
}

void DrawLetter(QPainter& p, const QRectF& r, const QString& text, const QColor& colour, int pixelSize)
{
    QFont f = p.font();
    f.setPixelSize(pixelSize);
    f.setBold(true);
    p.setFont(f);
    p.setPen(colour);
    p.drawText(r, Qt::AlignCenter, text);
}

void DrawDevice(QPainter& p)
{
    // A metering computer: grey case, dark display with a green reading, two keys.
    p.setPen(QPen(QColor(60, 60, 70), 1));
    p.setBrush(QColor(190, 195, 205));
    p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 2, 2);
    p.setBrush(QColor(30, 50, 40));
    p.drawRect(QRectF(3.5, 3.5, 9, 5));
    p.setPen(QPen(QColor(80, 240, 120), 1));
    p.drawLine(QPointF(5, 6), QPointF(11, 6));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 40, 40));
    p.drawEllipse(QRectF(4, 10.5, 3, 3));
    p.setBrush(QColor(40, 90, 200));
    p.drawEllipse(QRectF(9, 10.5, 3, 3));
}

void DrawEventGroup(QPainter& p)
{
    DrawFolder(p, QColor(240, 200, 70));
    // a small red lightning bolt on the folder
    QPolygonF bolt;
    bolt << QPointF(9.5, 7) << QPointF(7, 11) << QPointF(8.7, 11) << QPointF(7.5, 14.5) << QPointF(11, 9.8)
         << QPointF(9.2, 9.8) << QPointF(10.8, 7);
    p.setPen(QPen(QColor(120, 0, 0), 0.7));
    p.setBrush(QColor(230, 30, 30));
    p.drawPolygon(bolt);
}

void DrawEvent(QPainter& p)
{
    // A warning triangle with an exclamation mark.
    QPolygonF tri;
    tri << QPointF(8, 1.5) << QPointF(14.5, 14) << QPointF(1.5, 14);
    p.setPen(QPen(QColor(150, 20, 20), 1));
    p.setBrush(QColor(235, 60, 50));
    p.drawPolygon(tri);
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(8, 6), QPointF(8, 10));
    p.drawPoint(QPointF(8, 12.3));
}

void DrawConstGroup(QPainter& p)
{
    DrawFolder(p, QColor(110, 150, 230));
    DrawLetter(p, QRectF(4, 6, 10, 9), "K", Qt::white, 8);
}

void DrawConst(QPainter& p)
{
    // A blue tag with an equals sign: a value that is set, not measured.
    p.setPen(QPen(QColor(20, 50, 130), 1));
    p.setBrush(QColor(70, 120, 220));
    p.drawRoundedRect(QRectF(1.5, 3.5, 13, 9), 2, 2);
    p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(4.5, 6.5), QPointF(11.5, 6.5));
    p.drawLine(QPointF(4.5, 9.5), QPointF(11.5, 9.5));
}

void DrawCalcGroup(QPainter& p)
{
    DrawFolder(p, QColor(110, 200, 110));
    // a rising polyline: measured values
    p.setPen(QPen(QColor(0, 90, 0), 1.4));
    p.setBrush(Qt::NoBrush);
    QPolygonF line;
    line << QPointF(3.5, 12.5) << QPointF(6.5, 9.5) << QPointF(9, 11) << QPointF(12.5, 7.5);
    p.drawPolyline(line);
}

void DrawCalc(QPainter& p)
{
    // A round gauge with a needle.
    p.setPen(QPen(QColor(0, 100, 0), 1));
    p.setBrush(QColor(225, 250, 225));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.setPen(QPen(QColor(0, 140, 0), 1));
    for (int i = 0; i < 5; ++i) {
        p.save();
        p.translate(8, 8);
        p.rotate(-135 + i * 67.5);
        p.drawLine(QPointF(0, -5.5), QPointF(0, -4));
        p.restore();
    }
    p.setPen(QPen(QColor(200, 30, 30), 1.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8, 8), QPointF(11.5, 4.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 40, 40));
    p.drawEllipse(QPointF(8, 8), 1.4, 1.4);
}

void DrawSystem(QPainter& p)
{
    // A boiler house: walls, a roof and a chimney.
    p.setPen(QPen(QColor(90, 50, 20), 1));
    p.setBrush(QColor(150, 150, 160));
    p.drawRect(QRectF(10.5, 1.5, 2.5, 5));      // chimney
    QPolygonF roof;
    roof << QPointF(1, 8) << QPointF(8, 2.5) << QPointF(15, 8);
    p.setBrush(QColor(200, 80, 40));
    p.drawPolygon(roof);
    p.setBrush(QColor(240, 220, 170));
    p.drawRect(QRectF(2.5, 8, 11, 6.5));
    p.setBrush(QColor(90, 150, 220));
    p.drawRect(QRectF(4.5, 9.5, 3, 3));
    p.setBrush(QColor(120, 70, 30));
    p.drawRect(QRectF(9.5, 10, 2.5, 4.5));
}

void DrawSpreadsheet(QPainter& p)
{
    // A sheet with a grid and a green band: export to a spreadsheet.
    p.setPen(QPen(QColor(30, 100, 50), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(2.5, 1.5, 11, 13));
    p.setPen(QPen(QColor(150, 190, 160), 1));
    for (double y = 5.5; y < 14; y += 3)
        p.drawLine(QPointF(3, y), QPointF(13, y));
    p.drawLine(QPointF(7.5, 2), QPointF(7.5, 14));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 130, 60));
    p.drawRect(QRectF(0.5, 6.5, 8, 7));
    DrawLetter(p, QRectF(0.5, 6.5, 8, 7), "X", Qt::white, 7);
}

void DrawClean(QPainter& p)
{
    // An eraser: a tilted block, pink on one end.
    p.save();
    p.translate(8, 8);
    p.rotate(-35);
    p.setPen(QPen(QColor(80, 80, 80), 1));
    p.setBrush(QColor(245, 140, 170));
    p.drawRect(QRectF(-6.5, -3, 5, 6));
    p.setBrush(QColor(110, 160, 230));
    p.drawRect(QRectF(-1.5, -3, 8, 6));
    p.restore();
    p.setPen(QPen(QColor(120, 120, 120), 1, Qt::DotLine));
    p.drawLine(QPointF(1, 15), QPointF(9, 15));
}

void DrawTransducerConst(QPainter& p)
{
    // A flow transducer on a pipe: the constants that address them.
    p.setPen(QPen(QColor(0, 90, 110), 1));
    p.setBrush(QColor(120, 210, 230));
    p.drawRect(QRectF(0.5, 8.5, 15, 4));         // pipe
    p.setBrush(QColor(0, 150, 170));
    p.drawRect(QRectF(5.5, 3.5, 5, 9));          // body
    p.setBrush(QColor(255, 255, 255));
    p.drawEllipse(QRectF(6.5, 4.5, 3, 3));       // dial
    p.setPen(QPen(QColor(0, 60, 80), 1));
    p.drawLine(QPointF(8, 0.5), QPointF(8, 3.5)); // cable
}

using Painter = void (*)(QPainter&);
constexpr std::array<Painter, TreeIconCount> Painters{
    DrawDevice,      DrawEventGroup, DrawEvent,  DrawConstGroup,  DrawConst,          DrawCalcGroup,
    DrawCalc,        DrawSystem,     DrawSpreadsheet, DrawClean, DrawTransducerConst,
};

} // namespace

QPixmap TreeIconPixmap(int index)
{
    if (index < 0 || index >= TreeIconCount)
        index = 0;
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, true);
    Painters[std::size_t(index)](p);
    p.end();
    return pm;
}

QIcon TreeIconAt(int index)
{
    return QIcon(TreeIconPixmap(index));
}

} // namespace vx4
