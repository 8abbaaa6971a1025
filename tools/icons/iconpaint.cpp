// Paints every button icon of the application, and its own icon, into a folder, one PNG each, at
// 128 x 128 pixels (the application's at 256 x 256) on a transparent background. Simple bold
// shapes, so that they read at the 24 to 56 pixels the buttons show them at.
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

namespace {

constexpr int kSize = 128;
const QColor kInk(0x26, 0x3c, 0x5a);
const QColor kAccent(0x1e, 0x88, 0xe5);
const QColor kRed(0xd3, 0x2f, 0x2f);
const QColor kGreen(0x2e, 0x9d, 0x4a);
const QColor kYellow(0xf5, 0xb8, 0x00);

QPen pen(const QColor &colour, double width) {
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A thick arrow pointing right, centred; other directions rotate it.
void arrow(QPainter &p, double degrees, const QColor &colour) {
    p.translate(kSize / 2.0, kSize / 2.0);
    p.rotate(degrees);
    QPainterPath path;
    path.moveTo(-44, -14);
    path.lineTo(4, -14);
    path.lineTo(4, -38);
    path.lineTo(48, 0);
    path.lineTo(4, 38);
    path.lineTo(4, 14);
    path.lineTo(-44, 14);
    path.closeSubpath();
    p.setPen(pen(colour.darker(130), 4));
    p.setBrush(colour);
    p.drawPath(path);
}

// A mains plug: body, two prongs and the cable.
void plug(QPainter &p, const QColor &body) {
    p.setPen(pen(kInk, 6));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(40, 24), QPointF(40, 4));
    p.drawLine(QPointF(72, 24), QPointF(72, 4));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(22, 24, 68, 44), 10, 10);
    p.setBrush(Qt::NoBrush);
    QPainterPath cable;
    cable.moveTo(56, 68);
    cable.cubicTo(56, 100, 100, 92, 110, 122);
    p.setPen(pen(kInk, 8));
    p.drawPath(cable);
}

void connectIcon(QPainter &p) {
    plug(p, kGreen);
}

void disconnectIcon(QPainter &p) {
    plug(p, QColor(0x9e, 0x9e, 0x9e));
    p.setPen(pen(kRed, 12));
    p.drawLine(QPointF(14, 114), QPointF(114, 14));
}

// The radiation mark on a yellow disc of radius r.
void trefoil(QPainter &p, QPointF c, double r) {
    const double blade = r * 19 / 22;
    p.setPen(Qt::NoPen);
    p.setBrush(kYellow);
    p.drawEllipse(c, r, r);
    p.setBrush(kInk);
    for (int k = 0; k < 3; ++k) {
        QPainterPath path;
        path.moveTo(c);
        path.arcTo(QRectF(c.x() - blade, c.y() - blade, 2 * blade, 2 * blade), 90 + 120 * k - 30,
                   60);
        path.closeSubpath();
        p.drawPath(path);
    }
    p.setBrush(kYellow);
    p.drawEllipse(c, r * 6 / 22, r * 6 / 22);
    p.setBrush(kInk);
    p.drawEllipse(c, r * 4 / 22, r * 4 / 22);
}

// A hand-held instrument: body, display with a trace, and a radiation mark.
void deviceIcon(QPainter &p) {
    p.setPen(pen(kInk, 5));
    p.setBrush(QColor(0xec, 0xef, 0xf1));
    p.drawRoundedRect(QRectF(28, 6, 72, 116), 14, 14);
    p.setBrush(QColor(0x37, 0x47, 0x4f));
    p.drawRoundedRect(QRectF(38, 18, 52, 40), 4, 4);
    p.setPen(pen(QColor(0x76, 0xff, 0x03), 4));
    p.drawPolyline(QPolygonF({{42, 48}, {54, 46}, {60, 26}, {66, 50}, {86, 44}}));
    trefoil(p, QPointF(64, 90), 22);
}

// A map pin.
void pointIcon(QPainter &p) {
    QPainterPath pin;
    pin.moveTo(64, 122);
    pin.cubicTo(40, 86, 24, 70, 24, 46);
    pin.arcTo(QRectF(24, 6, 80, 80), 180, -180);
    pin.cubicTo(104, 70, 88, 86, 64, 122);
    p.setPen(pen(kRed.darker(140), 5));
    p.setBrush(kRed);
    p.drawPath(pin);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(64, 46), 16, 16);
}

// An arrow down into a tray.
void downloadIcon(QPainter &p) {
    p.setPen(pen(kInk, 10));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{14, 84}, {14, 116}, {114, 116}, {114, 84}}));
    p.save();
    p.translate(0, -14);
    p.scale(1, 0.9);
    arrow(p, 90, kAccent);
    p.restore();
}

// Two pins joined by a dashed measuring line.
void distanceIcon(QPainter &p) {
    QPen dashed = pen(kInk, 7);
    dashed.setDashPattern({1.6, 1.6});
    p.setPen(dashed);
    p.drawLine(QPointF(26, 100), QPointF(102, 28));
    p.setPen(pen(kInk, 4));
    p.setBrush(kRed);
    p.drawEllipse(QPointF(26, 100), 16, 16);
    p.setBrush(kAccent);
    p.drawEllipse(QPointF(102, 28), 16, 16);
}

// A waste bin.
void clearIcon(QPainter &p) {
    p.setPen(pen(kInk, 6));
    p.setBrush(QColor(0xcf, 0xd8, 0xdc));
    p.drawPolygon(QPolygonF({{30, 36}, {98, 36}, {90, 120}, {38, 120}}));
    p.drawLine(QPointF(20, 30), QPointF(108, 30));
    p.drawRoundedRect(QRectF(50, 12, 28, 18), 4, 4);
    for (double x : {52.0, 64.0, 76.0})
        p.drawLine(QPointF(x, 50), QPointF(x, 106));
}

// A gear wheel.
void settingsIcon(QPainter &p) {
    constexpr int kTeeth = 8;
    QPainterPath gear;
    for (int k = 0; k < kTeeth * 4; ++k) {
        double a = (k / 4 + ((k % 4) + 0.5) / 4.0) * 2 * std::numbers::pi / kTeeth;
        double r = (k % 4 == 1 || k % 4 == 2) ? 58 : 44;
        QPointF q(64 + r * std::cos(a), 64 + r * std::sin(a));
        if (k == 0)
            gear.moveTo(q);
        else
            gear.lineTo(q);
    }
    gear.closeSubpath();
    gear.addEllipse(QPointF(64, 64), 18, 18);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(pen(kInk, 4));
    p.setBrush(QColor(0x78, 0x90, 0x9c));
    p.drawPath(gear);
}

// The power symbol.
void quitIcon(QPainter &p) {
    p.setPen(pen(kRed, 14));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(18, 22, 92, 92), 120 * 16, -240 * 16);
    p.drawLine(QPointF(64, 10), QPointF(64, 62));
}

void folderIcon(QPainter &p) {
    p.setPen(pen(QColor(0xb2, 0x7b, 0x00), 5));
    p.setBrush(QColor(0xff, 0xca, 0x28));
    QPainterPath back;
    back.moveTo(8, 30);
    back.lineTo(8, 112);
    back.lineTo(120, 112);
    back.lineTo(120, 36);
    back.lineTo(60, 36);
    back.lineTo(50, 22);
    back.lineTo(14, 22);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(0xff, 0xe0, 0x82));
    p.drawPolygon(QPolygonF({{8, 112}, {22, 52}, {124, 52}, {120, 112}}));
}

// A paint bucket with a drop of paint.
void bucketIcon(QPainter &p) {
    p.setPen(pen(kInk, 6));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(26, 10, 60, 60), 0, 180 * 16);
    p.setBrush(QColor(0xcf, 0xd8, 0xdc));
    p.drawPolygon(QPolygonF({{18, 40}, {94, 40}, {84, 118}, {28, 118}}));
    p.setBrush(kAccent);
    p.drawEllipse(QRectF(18, 32, 76, 16));
    QPainterPath drop;
    drop.moveTo(110, 64);
    drop.cubicTo(122, 84, 124, 96, 110, 100);
    drop.cubicTo(96, 96, 98, 84, 110, 64);
    p.drawPath(drop);
}

// The application's own icon: a survey map with a track coloured by dose rate and a radiation
// mark. Painted on the 128-pixel grid of the others and scaled up.
void applicationIcon(QPainter &p) {
    QPainterPath tile;
    tile.addRoundedRect(QRectF(6, 6, 116, 116), 22, 22);
    QLinearGradient land(0, 6, 0, 122);
    land.setColorAt(0, QColor(0xc8, 0xe6, 0xc9));
    land.setColorAt(1, QColor(0x81, 0xc7, 0x84));
    p.setPen(pen(kInk, 5));
    p.setBrush(land);
    p.drawPath(tile);
    p.save();
    p.setClipPath(tile);
    p.setPen(pen(QColor(0x90, 0xca, 0xf9), 14));
    p.drawLine(QPointF(0, 30), QPointF(128, 4));  // a river
    p.setPen(pen(QColor(0x26, 0x3c, 0x5a, 60), 2));
    for (int k = 32; k < 128; k += 32) {  // the map grid
        p.drawLine(QPointF(k, 0), QPointF(k, 128));
        p.drawLine(QPointF(0, k), QPointF(128, k));
    }
    p.restore();
    const QColor track[] = {kGreen, kGreen, kYellow, kYellow, kRed, kRed, kYellow, kGreen};
    p.setPen(pen(kInk, 2));
    for (int k = 0; k < 8; ++k) {
        const double t = k / 7.0;
        p.setBrush(track[k]);
        p.drawEllipse(QPointF(20 + 90 * t, 106 - 56 * t + 10 * std::sin(t * 9)), 7, 7);
    }
    trefoil(p, QPointF(40, 42), 26);
    p.setPen(pen(kInk, 3));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(40, 42), 26, 26);
}

struct Icon {
    const char *file;
    std::function<void(QPainter &)> paint;
    int size = kSize;
};

}  // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: survokart-icons FOLDER\n";
        return 2;
    }
    QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath(".")) {
        err << "cannot create " << folder.path() << "\n";
        return 1;
    }
    const std::vector<Icon> icons = {
        {"connect.png", connectIcon},
        {"disconnect.png", disconnectIcon},
        {"device.png", deviceIcon},
        {"point.png", pointIcon},
        {"download.png", downloadIcon},
        {"distance.png", distanceIcon},
        {"clear.png", clearIcon},
        {"settings.png", settingsIcon},
        {"quit.png", quitIcon},
        {"folder.png", folderIcon},
        {"bucket.png", bucketIcon},
        {"left_arrow.png", [](QPainter &p) { arrow(p, 180, kAccent); }},
        {"right_arrow.png", [](QPainter &p) { arrow(p, 0, kAccent); }},
        {"up_arrow.png", [](QPainter &p) { arrow(p, 270, kAccent); }},
        {"down_arrow.png", [](QPainter &p) { arrow(p, 90, kAccent); }},
        {"survokart.png", applicationIcon, 256},
    };
    for (const Icon &icon : icons) {
        QImage image(icon.size, icon.size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(double(icon.size) / kSize, double(icon.size) / kSize);
        icon.paint(painter);
        painter.end();
        QString path = folder.filePath(QString::fromLatin1(icon.file));
        if (!image.save(path, "PNG")) {
            err << "cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
