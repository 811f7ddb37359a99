// Draws the updater's window icon: a blue speech bubble (the messenger) holding a white
// circular arrow (the update). The picture is made only of paths, so the same program
// always writes the same 64 x 64 RGBA PNG.

#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <QtMath>

namespace {

constexpr int Size = 64;

QPainterPath bubble()
{
    QPainterPath body;
    body.addRoundedRect(QRectF(3.5, 5.5, 57, 41), 13, 13);
    QPainterPath tail;
    tail.moveTo(13, 40);
    tail.lineTo(9.5, 58.5);
    tail.lineTo(29, 44);
    tail.closeSubpath();
    return body.united(tail).simplified();
}

void drawArrow(QPainter &painter, const QPointF &centre, qreal radius)
{
    // Clockwise from just above three o'clock round to the top, leaving a gap for the head.
    const qreal startAngle = 5;
    const qreal sweep = -285;
    QPainterPath arc;
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    arc.arcMoveTo(box, startAngle);
    arc.arcTo(box, startAngle, sweep);

    QPen pen(Qt::white, 4.6, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arc);

    // The head points along the arc's direction of travel at its end.
    const qreal end = qDegreesToRadians(startAngle + sweep);
    const QPointF tip(centre.x() + radius * qCos(end), centre.y() - radius * qSin(end));
    const QPointF along(qSin(end), qCos(end));
    const QPointF across(along.y(), -along.x());
    QPainterPath head;
    head.moveTo(tip + along * 6.5);
    head.lineTo(tip - along * 1.5 + across * 6.5);
    head.lineTo(tip - along * 1.5 - across * 6.5);
    head.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawPath(head);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        QTextStream(stderr) << "usage: mkicon <output.png>\n";
        return 2;
    }

    QImage image(Size, Size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient fill(0, 5, 0, 58);
    fill.setColorAt(0, QColor(0x4a, 0x9b, 0xf5));
    fill.setColorAt(1, QColor(0x17, 0x5c, 0xc6));
    painter.setPen(QPen(QColor(0x10, 0x46, 0x9a), 1.5));
    painter.setBrush(fill);
    painter.drawPath(bubble());

    drawArrow(painter, QPointF(32, 26), 11.5);
    painter.end();

    const QString output = QFile::decodeName(argv[1]);
    if (!image.save(output, "PNG")) {
        QTextStream(stderr) << "mkicon: cannot write " << output << '\n';
        return 1;
    }
    return 0;
}
