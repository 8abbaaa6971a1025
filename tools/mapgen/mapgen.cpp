// Draws a plausible survey area (shaded terrain, water, roads, a labelled UTM grid) and writes it
// as PNG with its world file (.pgw) and projection definition (.ppr), for tests and demonstrations.

#include "geo.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QTextStream>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Options {
    int width = 1600;
    int height = 1200;
    double pixel = 2.5;  // metres
    double latitude = 49.2;
    double longitude = 16.6;
    quint32 seed = 7;
    QString output;
};

// Smooth value noise: a lattice of random heights, cosine-interpolated, summed over octaves.
class Terrain {
public:
    explicit Terrain(quint32 seed) : m_lattice(kSize * kSize) {
        QRandomGenerator random(seed);
        for (double &h : m_lattice)
            h = random.generateDouble();
    }

    double height(double x, double y) const {
        double sum = 0, amplitude = 1, norm = 0;
        for (int octave = 0; octave < 5; ++octave) {
            sum += amplitude * lattice(x, y);
            norm += amplitude;
            x *= 2.03;
            y *= 2.03;
            amplitude *= 0.5;
        }
        return sum / norm;
    }

private:
    static constexpr int kSize = 256;

    double at(int x, int y) const {
        return m_lattice[size_t((y & (kSize - 1)) * kSize + (x & (kSize - 1)))];
    }
    double lattice(double x, double y) const {
        const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
        const auto smooth = [](double t) { return (1 - std::cos(t * M_PI)) / 2; };
        const double fx = smooth(x - x0), fy = smooth(y - y0);
        const double top = at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx;
        const double bottom = at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx;
        return top * (1 - fy) + bottom * fy;
    }

    std::vector<double> m_lattice;
};

QColor tint(double h) {
    // Lowland green through hill brown to pale upland.
    const QColor low(150, 190, 120), mid(200, 190, 140), high(235, 230, 220);
    const auto mix = [](const QColor &a, const QColor &b, double t) {
        return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                                float(a.greenF() + (b.greenF() - a.greenF()) * t),
                                float(a.blueF() + (b.blueF() - a.blueF()) * t));
    };
    return h < 0.55 ? mix(low, mid, std::clamp((h - 0.35) / 0.2, 0.0, 1.0))
                    : mix(mid, high, std::clamp((h - 0.55) / 0.2, 0.0, 1.0));
}

QImage drawTerrain(const Options &o, const Terrain &terrain, double waterLevel) {
    QImage image(o.width, o.height, QImage::Format_RGB32);
    const double scale = o.pixel / 400.0;  // lattice cells of 400 m
    // Heights with a one-pixel margin, so the shading can take differences at the edges.
    const int w = o.width + 2;
    std::vector<double> heights(size_t(w) * size_t(o.height + 2));
    for (int y = 0; y < o.height + 2; ++y)
        for (int x = 0; x < w; ++x)
            heights[size_t(y) * w + x] = terrain.height((x - 1) * scale, (y - 1) * scale);
    const auto h = [&](int x, int y) { return heights[size_t(y + 1) * w + (x + 1)]; };
    for (int y = 0; y < o.height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < o.width; ++x) {
            const double here = h(x, y);
            if (here < waterLevel) {
                line[x] = qRgb(120, 170, 215);
                continue;
            }
            // Hillshade lit from the north-west.
            const double dx = (h(x + 1, y) - h(x - 1, y)) * 120.0;
            const double dy = (h(x, y + 1) - h(x, y - 1)) * 120.0;
            const double shade = std::clamp(0.9 + 0.35 * (-dx - dy) / std::sqrt(2.0), 0.6, 1.1);
            const QColor c = tint(here);
            line[x] =
                qRgb(std::min(255, int(c.red() * shade)), std::min(255, int(c.green() * shade)),
                     std::min(255, int(c.blue() * shade)));
        }
    }
    return image;
}

void drawRoads(QPainter &p, const Options &o, quint32 seed) {
    QRandomGenerator random(seed + 1);
    p.setRenderHint(QPainter::Antialiasing);
    for (int road = 0; road < 5; ++road) {
        QPainterPath path;
        const bool horizontal = road % 2 == 0;
        const double along = horizontal ? o.width : o.height;
        const double across = horizontal ? o.height : o.width;
        double c = across * (0.15 + 0.7 * random.generateDouble());
        const auto point = [&](double a, double b) {
            return horizontal ? QPointF(a, b) : QPointF(b, a);
        };
        path.moveTo(point(-10, c));
        for (double a = 0; a < along + 200; a += 200) {
            const double next = c + (random.generateDouble() - 0.5) * 160;
            path.quadTo(point(a + 100, c), point(a + 200, next));
            c = next;
        }
        const int width = road < 2 ? 7 : 4;
        p.setPen(QPen(QColor(90, 80, 70), width + 2, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(path);
        p.setPen(QPen(road < 2 ? QColor(250, 210, 90) : QColor(255, 255, 255), width, Qt::SolidLine,
                      Qt::RoundCap));
        p.drawPath(path);
    }
}

void drawGrid(QPainter &p, const Options &o, double left, double top) {
    const double step = 500;  // metres
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(QColor(40, 40, 90, 160), 1));
    QFont font = p.font();
    font.setPixelSize(13);
    p.setFont(font);
    const double right = left + o.width * o.pixel, bottom = top - o.height * o.pixel;
    for (double e = std::ceil(left / step) * step; e < right; e += step) {
        const double x = (e - left) / o.pixel;
        p.drawLine(QPointF(x, 0), QPointF(x, o.height));
        p.drawText(QPointF(x + 3, 15), QString::number(e, 'f', 0));
    }
    for (double n = std::floor(top / step) * step; n > bottom; n -= step) {
        const double y = (top - n) / o.pixel;
        p.drawLine(QPointF(0, y), QPointF(o.width, y));
        p.drawText(QPointF(3, y - 3), QString::number(n, 'f', 0));
    }
}

bool writeText(const QString &path, const QString &text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
    QTextStream(&file) << text;
    return file.flush();
}

// What is wrong with the command line, empty when nothing is; fills `o` as it goes.
QString readOptions(const QCommandLineParser &parser, Options *o) {
    if (parser.positionalArguments().size() != 1) return "give exactly one output file";
    const QStringList size = parser.value("size").split('x');
    bool width = false, height = false;
    if (size.size() == 2) {
        o->width = size[0].toInt(&width);
        o->height = size[1].toInt(&height);
    }
    if (!width || !height || o->width < 16 || o->height < 16 || o->width > 20000 ||
        o->height > 20000)
        return QString("--size %1: want WxH, each from 16 to 20000 pixels")
            .arg(parser.value("size"));
    bool ok = false;
    o->pixel = parser.value("pixel").toDouble(&ok);
    if (!ok || !std::isfinite(o->pixel) || !(o->pixel > 0))
        return QString("--pixel %1: want a finite number of metres greater than 0")
            .arg(parser.value("pixel"));
    o->latitude = parser.value("lat").toDouble(&ok);
    if (!ok || !(std::fabs(o->latitude) <= 84))
        return QString("--lat %1: want degrees from -84 to 84, where UTM holds")
            .arg(parser.value("lat"));
    o->longitude = parser.value("lon").toDouble(&ok);
    if (!ok || !(std::fabs(o->longitude) <= 180))
        return QString("--lon %1: want degrees from -180 to 180").arg(parser.value("lon"));
    o->seed = parser.value("seed").toUInt(&ok);
    if (!ok) return QString("--seed %1: want a whole number from 0").arg(parser.value("seed"));
    return {};
}

}  // namespace

int main(int argc, char **argv) {
    // A batch tool: it needs fonts but never a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Draws a demo survey map and writes PNG + .pgw + .ppr beside each other.");
    parser.addHelpOption();
    parser.addPositionalArgument("output", "The PNG to write, e.g. demo/survey.png.");
    parser.addOptions({{"size", "Image size in pixels.", "WxH", "1600x1200"},
                       {"pixel", "Metres per pixel.", "metres", "2.5"},
                       {"lat", "Latitude of the centre.", "degrees", "49.2"},
                       {"lon", "Longitude of the centre.", "degrees", "16.6"},
                       {"seed", "Terrain seed.", "n", "7"}});
    parser.process(app);

    Options o;
    const QString problem = readOptions(parser, &o);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "survokart-mapgen: %s (see --help)\n", qPrintable(problem));
        return 2;
    }
    o.output = parser.positionalArguments().front();

    const int zone = std::clamp(int(std::floor((o.longitude + 180) / 6)) + 1, 1, 60);
    const QString projection =
        QStringLiteral("+proj=utm +zone=%1%2 +ellps=WGS84 +datum=WGS84 +units=m +no_defs")
            .arg(zone)
            .arg(o.latitude < 0 ? " +south" : "");
    QString error;
    const auto geo = TGeoTransform::create(projection, &error);
    double centreX, centreY;
    if (!geo || !geo->toMap(o.latitude, o.longitude, &centreX, &centreY)) {
        std::fprintf(stderr, "survokart-mapgen: %s\n", qPrintable(error));
        return 1;
    }
    // Whole metres at the image's outer corner keep the grid and the world file readable.
    const double left = std::round(centreX - o.width * o.pixel / 2);
    const double top = std::round(centreY + o.height * o.pixel / 2);

    const Terrain terrain(o.seed);
    QImage image = drawTerrain(o, terrain, 0.36);
    {
        QPainter p(&image);
        drawRoads(p, o, o.seed);
        drawGrid(p, o, left, top);
    }

    const QFileInfo info(o.output);
    QDir().mkpath(info.path());
    const QString stem = info.path() + '/' + info.completeBaseName();
    // Lines 5 and 6 name the centre of the upper-left pixel.
    const QString world = QStringLiteral("%1\n0\n0\n%2\n%3\n%4\n")
                              .arg(o.pixel, 0, 'f', 6)
                              .arg(-o.pixel, 0, 'f', 6)
                              .arg(left + o.pixel / 2, 0, 'f', 6)
                              .arg(top - o.pixel / 2, 0, 'f', 6);
    if (!image.save(o.output, "PNG") || !writeText(stem + ".pgw", world) ||
        !writeText(stem + ".ppr", projection + '\n')) {
        std::fprintf(stderr, "survokart-mapgen: cannot write %s\n", qPrintable(o.output));
        return 1;
    }
    return 0;
}
