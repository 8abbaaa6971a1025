#include "format.h"
#include "mapview.h"

#include <gtest/gtest.h>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImageWriter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {
// Errors and repaints recorded instead of shown.
class TestView : public TMapView {
public:
    QStringList errors;
    int paints = 0;

protected:
    void showError(const QString &message) override { errors << message; }
    void drawForeground(QPainter *painter, const QRectF &rect) override {
        ++paints;
        TMapView::drawForeground(painter, rect);
    }
};

// Loads as the window does, on a thread of the view's, and waits until the map is applied.
void load(TMapView &view, const QString &path) {
    QSignalSpy loaded(&view, &TMapView::mapLoaded);
    view.loadAll(path);
    ASSERT_TRUE(!loaded.isEmpty() || loaded.wait(60000)) << path.toStdString();
}

void copyDemo(const QTemporaryDir &dir, const QString &stem, const QStringList &suffixes) {
    const QString demo = QStringLiteral(DEMO_MAP).chopped(4);
    for (const QString &suffix : suffixes)
        QFile::copy(demo + suffix.left(4), dir.filePath(stem + suffix.mid(4)));
}

// A view on the demo map, shown, with a track ready for points.
struct ShownView {
    TestView view;
    ShownView() {
        view.resize(400, 300);
        load(view, DEMO_MAP);
        view.setTrackR(10);
        view.setColor({10, 20, 30, 40, 50}, {QColor(0, 160, 0), QColor(160, 220, 0),
                                             QColor(255, 220, 0), QColor(255, 130, 0), Qt::red});
        view.createScene();
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    void addAtScene(double x, double y, double value) {
        double lat, lon;
        view.convToWorld(x, y, &lat, &lon);
        view.addTrackPoint(lat, lon, 250, value);
    }
    QPoint viewportPos(double x, double y) { return view.mapFromScene(QPointF(x, y)); }
    void wheel(int delta, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWheelEvent e(QPointF(50, 50), view.mapToGlobal(QPointF(50, 50)), {}, QPoint(0, delta),
                      Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(view.viewport(), &e);
    }
};
}  // namespace

TEST(MapView, LoadsCompanionFilesAndReportsEachFailure) {
    ShownView shown;
    EXPECT_TRUE(shown.view.errors.isEmpty()) << shown.view.errors.join('|').toStdString();

    QTemporaryDir dir;
    copyDemo(dir, "area.v2", {".png.png", ".pgw.jgw", ".ppr.jpr"});  // fallbacks, dotted name
    TestView view;
    load(view, dir.filePath("area.v2.png"));
    EXPECT_TRUE(view.errors.isEmpty()) << view.errors.join('|').toStdString();
    double x, y;
    EXPECT_TRUE(view.convToProj(49.2, 16.6, &x, &y));

    // Every message names the files it concerns, and why each was not taken.
    const QString missing = dir.filePath("none.png"), stem = dir.filePath("none");
    load(view, missing);
    EXPECT_EQ(view.errors.join('|').toStdString(),
              QStringList({"Could not load raster image file!\n" + missing + ": not found",
                           "Could not load calibration file!\n" + stem + ".pgw: not found\n" +
                               stem + ".jgw: not found",
                           "Could not load projection definition file!\n" + stem +
                               ".ppr: not found\n" + stem + ".jpr: not found"})
                  .join('|')
                  .toStdString());
    EXPECT_TRUE(view.mapHint().isEmpty());             // a map is chosen, it failed
    EXPECT_TRUE(view.convToProj(49.2, 16.6, &x, &y));  // the previous georeference stays

    QFile ppr(dir.filePath("bad.ppr"));
    ASSERT_TRUE(ppr.open(QIODevice::WriteOnly));
    ppr.write("+proj=nonsense\n");
    ppr.close();
    view.errors.clear();
    load(view, dir.filePath("bad.png"));
    ASSERT_EQ(view.errors.size(), 3);
    EXPECT_TRUE(view.errors[2].startsWith("Could not load projection definition file!\n" +
                                          dir.filePath("bad.ppr") + ": "));
    EXPECT_TRUE(view.errors[2].endsWith("\n" + dir.filePath("bad.jpr") + ": not found"));
    EXPECT_FALSE(view.convToProj(49.2, 16.6, &x, &y));
}

TEST(MapView, CompanionsNamedUpToTheLastDotFirstThenUpToTheFirst) {
    QTemporaryDir dir;
    copyDemo(dir, "area.v2", {".png.png"});
    copyDemo(dir, "area", {".pgw.pgw", ".ppr.ppr"});  // first-dot names only
    TestView view;
    load(view, dir.filePath("area.v2.png"));
    EXPECT_TRUE(view.errors.isEmpty()) << view.errors.join('|').toStdString();
    double x, y;
    ASSERT_TRUE(view.convToProj(49.2, 16.6, &x, &y));

    // With both present the last-dot world file wins; the first-dot one is 100 pixels off.
    QFile shifted(dir.filePath("area.pgw"));
    ASSERT_TRUE(shifted.open(QIODevice::ReadWrite));
    QList<QByteArray> lines = shifted.readAll().split('\n');
    lines[4] = QByteArray::number(lines[4].toDouble() + 500, 'f', 6);
    shifted.resize(0);
    shifted.write(lines.join('\n'));
    shifted.close();
    copyDemo(dir, "area.v2", {".pgw.pgw"});
    load(view, dir.filePath("area.v2.png"));
    double x2, y2;
    ASSERT_TRUE(view.convToProj(49.2, 16.6, &x2, &y2));
    EXPECT_EQ(QPointF(x2, y2), QPointF(x, y));
    QFile::remove(dir.filePath("area.v2.pgw"));
    load(view, dir.filePath("area.v2.png"));
    ASSERT_TRUE(view.convToProj(49.2, 16.6, &x2, &y2));
    EXPECT_NEAR(x2, x - 100, 1e-6);
}

TEST(MapView, EndlessOrBlockingCompanionFilesAreRefusedNotRead) {
    QTemporaryDir dir;
    copyDemo(dir, "area", {".png.png"});
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("area.pgw")));
    ASSERT_EQ(mkfifo(QFile::encodeName(dir.filePath("area.jgw")).constData(), 0600), 0);
    QFile huge(dir.filePath("area.ppr"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    huge.write(QByteArray(1 << 20, '+'));
    huge.close();
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("area.jpr")));

    TestView view;
    load(view, dir.filePath("area.png"));
    const QString stem = dir.filePath("area");
    EXPECT_EQ(view.errors.join('|').toStdString(),
              QStringList({"Could not load calibration file!\n" + stem +
                               ".pgw: not a regular file\n" + stem + ".jgw: not a regular file",
                           "Could not load projection definition file!\n" + stem +
                               ".ppr: larger than 64 KiB\n" + stem + ".jpr: not a regular file"})
                  .join('|')
                  .toStdString());
}

TEST(MapView, JpegCutShortIsRefusedWholeOnesLoadBaselineOrProgressive) {
    QTemporaryDir dir;
    const QImage demo(DEMO_MAP);
    for (const bool progressive : {false, true}) {
        QImageWriter writer(dir.filePath("whole.jpg"));
        writer.setProgressiveScanWrite(progressive);
        ASSERT_TRUE(writer.write(demo));
        TestView view;
        load(view, dir.filePath("whole.jpg"));
        EXPECT_EQ(view.mapScene().mapSize(), demo.size());
        EXPECT_TRUE(view.errors.isEmpty() || !view.errors[0].contains("raster"))
            << view.errors.join('|').toStdString();

        QFile whole(dir.filePath("whole.jpg"));
        ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
        QFile cut(dir.filePath("cut.jpg"));
        ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
        cut.write(whole.readAll().chopped(int(whole.size() / 3)));
        cut.close();
        view.errors.clear();
        load(view, cut.fileName());
        ASSERT_FALSE(view.errors.isEmpty());
        EXPECT_EQ(view.errors[0].toStdString(),
                  ("Could not load raster image file!\n" + cut.fileName() +
                   ": the JPEG data is damaged or cut short")
                      .toStdString());
        EXPECT_TRUE(view.mapScene().mapSize().isEmpty());
    }
}

TEST(MapView, RastersGdalCannotOrMustNotOpenAreRefusedWithItsReason) {
    QTemporaryDir dir;
    QFile garbage(dir.filePath("notes.tif"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("survey notes, not a map\n");
    garbage.close();
    // A VRT names other files (or URLs) to read: a map file must not lead the reader elsewhere.
    QFile vrt(dir.filePath("elsewhere.vrt"));
    ASSERT_TRUE(vrt.open(QIODevice::WriteOnly));
    vrt.write(
        "<VRTDataset rasterXSize=\"10\" rasterYSize=\"10\"><VRTRasterBand dataType=\"Byte\" "
        "band=\"1\"><SimpleSource><SourceFilename>" +
        QFile::encodeName(DEMO_MAP) +
        "</SourceFilename></SimpleSource></VRTRasterBand></VRTDataset>");
    vrt.close();
    for (const QString &path : {garbage.fileName(), vrt.fileName()}) {
        TestView view;
        load(view, path);
        ASSERT_FALSE(view.errors.isEmpty());
        const QString expected = "Could not load raster image file!\n" + path + ": ";
        EXPECT_TRUE(view.errors[0].startsWith(expected)) << view.errors[0].toStdString();
        EXPECT_GT(view.errors[0].size(), expected.size() + 10);  // GDAL's words follow
        EXPECT_TRUE(view.mapScene().mapSize().isEmpty());
    }
}

TEST(MapView, LargeMapsLoad) {
    QTemporaryDir dir;
    QImage large(6000, 6000, QImage::Format_RGB32);
    large.fill(QColor(200, 190, 140));
    ASSERT_TRUE(large.save(dir.filePath("large.png")));
    large = QImage();
    TestView view;
    load(view, dir.filePath("large.png"));
    EXPECT_EQ(view.mapScene().mapSize(), QSize(6000, 6000));
    EXPECT_FALSE(view.errors.join('|').contains("raster")) << view.errors.join('|').toStdString();
}

namespace {
QStringList mapLog;
void recordMapLog(QtMsgType, const QMessageLogContext &context, const QString &message) {
    if (QByteArray(context.category) == "survokart.map") mapLog << message;
}
}  // namespace

TEST(MapView, EachFailureIsLoggedWithItsFilesAndReasons) {
    QTemporaryDir dir;
    copyDemo(dir, "area", {".png.png", ".ppr.ppr"});
    QFile pgw(dir.filePath("area.pgw"));
    ASSERT_TRUE(pgw.open(QIODevice::WriteOnly));
    pgw.write("5\n0\n0\n-5\n");
    pgw.close();
    mapLog.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordMapLog);
    TestView view;
    load(view, dir.filePath("area.png"));
    qInstallMessageHandler(previous);
    const QString stem = dir.filePath("area");
    EXPECT_EQ(view.errors, QStringList("Could not load calibration file!\n" + stem +
                                       ".pgw: not six numbers of an invertible transform\n" + stem +
                                       ".jgw: not found"));
    EXPECT_EQ(mapLog, QStringList("Could not load calibration file! | " + stem +
                                  ".pgw: not six numbers of an invertible transform | " + stem +
                                  ".jgw: not found"));
}

TEST(MapView, FirstStartWithoutAMapIsQuietAndSaysWhereToChooseOne) {
    TestView view;
    view.resize(400, 300);
    load(view, QString());
    view.createScene();
    EXPECT_TRUE(view.errors.isEmpty()) << view.errors.join('|').toStdString();
    EXPECT_EQ(view.mapHint(), "No map chosen: choose a map image in Settings.");
    // The note's light backing sits in the middle of the grey map area.
    const QImage image = view.viewport()->grab().toImage();
    EXPECT_GT(qGray(image.pixel(image.rect().center())), 200);

    load(view, DEMO_MAP);
    EXPECT_TRUE(view.mapHint().isEmpty());
    EXPECT_TRUE(view.errors.isEmpty());
}

TEST(MapView, ClicksSelectNearestOrReportThePosition) {
    ShownView shown;
    TMapView &view = shown.view;
    QSignalSpy spy(&view, &TMapView::pointSelect);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, shown.viewportPos(100, 100));
    ASSERT_EQ(spy.size(), 1);
    EXPECT_EQ(spy[0], QVariantList({0.0, 0.0, 0.0, 0.0, 0}));  // empty track

    shown.addAtScene(100.2, 100.2, 12);
    shown.addAtScene(108.2, 100.2, 34);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, shown.viewportPos(106, 100));
    EXPECT_EQ(spy.last()[3].toDouble(), 34);
    EXPECT_EQ(spy.last()[4].toInt(), 1);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, shown.viewportPos(300, 300));
    EXPECT_EQ(spy.last(), QVariantList({0.0, 0.0, 0.0, 0.0, 0}));  // a miss selects nothing

    view.setSelNearest(false);
    view.setDragEnable(false);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, shown.viewportPos(100, 100));
    double lat, lon;
    const QPointF s = view.mapToScene(shown.viewportPos(100, 100));
    view.convToWorld(s.x(), s.y(), &lat, &lon);
    EXPECT_EQ(spy.last(), QVariantList({lat, lon, 0.0, 0.0, 0}));
}

TEST(MapView, ClickedPointShowsItsReadingTimeAndDevice) {
    ShownView shown;
    TestView &view = shown.view;
    const QDateTime taken(QDate(2024, 5, 12), QTime(14, 3, 22));
    double lat, lon;
    view.convToWorld(100, 100, &lat, &lon);
    view.addTrackPoint(lat, lon, 250, 1234, 1, taken, 2);
    view.convToWorld(200, 100, &lat, &lon);
    view.addTrackPoint(lat, lon, 250, 250, kCountRate, QDateTime(), 3);
    view.centerOn(150, 100);
    EXPECT_TRUE(view.selectedPointText().isEmpty());

    const QImage before = view.viewport()->grab().toImage();
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, shown.viewportPos(100, 100));
    EXPECT_EQ(view.selectedPointText(), QStringList({QString::fromUtf8("1.2 \u00b5Sv/hr"),
                                                     "12/05/2024 14:03:22", "Device 2"}));
    // Drawn beside the point: below and right of it the picture changed.
    const QImage after = view.viewport()->grab().toImage();
    const QRect beside(shown.viewportPos(100, 100) + QPoint(12, 12), QSize(40, 20));
    int changed = 0;
    for (int y = beside.top(); y <= beside.bottom(); ++y)
        for (int x = beside.left(); x <= beside.right(); ++x)
            changed += before.pixel(x, y) != after.pixel(x, y);
    EXPECT_GT(changed, beside.width() * beside.height() / 2);

    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, shown.viewportPos(200, 100));
    EXPECT_EQ(view.selectedPointText(), QStringList({"250 cps", "Device 3"}));
    view.clearTrack();
    EXPECT_TRUE(view.selectedPointText().isEmpty());
}

TEST(MapView, LegendShowsTheColoursAndFollowsTheSettings) {
    ShownView shown;
    TestView &view = shown.view;
    const auto countIn = [&view](const QColor &colour) {
        const QImage image = view.viewport()->grab().toImage();
        int n = 0;
        const QRect r = view.legendRect();
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                n += image.pixel(x, y) == colour.rgb();
        return n;
    };
    const QRect legend = view.legendRect();
    EXPECT_EQ(legend.topLeft(), QPoint(8, 8));
    EXPECT_EQ(view.legendText(),
              QStringList({"Dose rate", "< 10 nGy/hr", "\u2265 10 nGy/hr", "\u2265 20 nGy/hr",
                           "\u2265 30 nGy/hr", "\u2265 40 nGy/hr"}));
    for (const QColor &c : {QColor(0, 160, 0), QColor(160, 220, 0), QColor(255, 220, 0),
                            QColor(255, 130, 0), QColor(Qt::red)})
        EXPECT_GT(countIn(c), 20) << c.name().toStdString();
    // Zooming leaves it as it is.
    shown.wheel(120);
    shown.wheel(120);
    EXPECT_EQ(view.legendRect(), legend);
    EXPECT_GT(countIn(Qt::red), 20);

    // New thresholds and colours, then readings in another unit: the legend follows at once.
    // Thresholds that do not rise colour nothing, and get no line.
    view.setColor({1500, 1000, 5000000, 0, 1},
                  {Qt::blue, Qt::darkYellow, Qt::magenta, Qt::cyan, QColor(128, 0, 255)});
    double lat, lon;
    view.convToWorld(100, 100, &lat, &lon);
    view.addTrackPoint(lat, lon, 0, 10, 1, QDateTime(), 1);
    EXPECT_EQ(view.legendText(),
              QStringList({"Dose rate", QString::fromUtf8("< 1.5 \u00b5Sv/hr"),
                           QString::fromUtf8("\u2265 1.5 \u00b5Sv/hr"), "\u2265 5.0 mSv/hr"}));
    EXPECT_GT(countIn(Qt::blue), 20);
    EXPECT_GT(countIn(QColor(128, 0, 255)), 20);
    EXPECT_EQ(countIn(Qt::darkYellow), 0);
    EXPECT_EQ(countIn(Qt::cyan), 0);
    EXPECT_EQ(countIn(Qt::red), 0);
    view.setValueUnit(kCountRate);
    EXPECT_EQ(view.legendText().first(), "Count rate");
    EXPECT_EQ(view.legendText()[1], "< 1500 cps");
}

TEST(MapView, ClickOutsideTheProjectionsDomainReportsNothing) {
    QTemporaryDir dir;
    QFile::copy(DEMO_MAP, dir.filePath("globe.png"));
    for (const auto &[name, text] :
         {std::pair{"globe.pgw", "100000\n0\n0\n-100000\n-6000000\n6000000\n"},
          std::pair{"globe.ppr", "+proj=ortho +lat_0=49 +lon_0=16 +ellps=WGS84\n"}}) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    TestView view;
    view.resize(400, 300);
    load(view, dir.filePath("globe.png"));
    view.createScene();
    view.setSelNearest(false);
    view.addTrackPoint(-49, -164, 0, 1);  // far side of the globe: kept, not drawn
    EXPECT_EQ(view.getTrackLen(), 1);
    EXPECT_LE(view.mapScene().sceneRect().right(), 800);
    view.show();
    QSignalSpy spy(&view, &TMapView::pointSelect);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.mapFromScene(QPointF(5, 5)));
    EXPECT_EQ(spy.size(), 0);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.mapFromScene(QPointF(60, 60)));
    EXPECT_EQ(spy.size(), 1);
}

TEST(MapView, WheelAndPinchZoom) {
    ShownView shown;
    TMapView &view = shown.view;
    shown.wheel(0);
    EXPECT_DOUBLE_EQ(view.zoom(), 1 / 1.15);
    shown.wheel(120, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(view.zoom(), 1.01 / 1.15);
    for (int i = 0; i < 60; ++i)
        shown.wheel(-120);
    EXPECT_FLOAT_EQ(view.zoom(), 0.01f);
    EXPECT_FLOAT_EQ(view.transform().m11(), 0.01f);
    for (int i = 0; i < 80; ++i)
        shown.wheel(120);
    EXPECT_GT(view.zoom(), 10);  // no upper bound

    const double before = view.zoom();
    const std::unique_ptr<QPointingDevice> device(QTest::createTouchDevice());
    QPointingDevice *touch = device.get();
    QWidget *vp = view.viewport();
    QTest::touchEvent(vp, touch).press(0, {100, 100}).press(1, {200, 100});
    QTest::touchEvent(vp, touch).move(0, {50, 100}).move(1, {250, 100});
    EXPECT_DOUBLE_EQ(view.zoom(), before);  // committed only when a finger lifts
    EXPECT_NEAR(view.transform().m11(), 2 * before, 1e-3 * before);
    QTest::touchEvent(vp, touch).move(0, {50, 100}).release(1, {250, 100});
    EXPECT_NEAR(view.zoom(), 2 * before, 1e-3 * before);
    QTest::touchEvent(vp, touch).release(0, {50, 100});

    const double pinched = view.zoom();
    QTest::touchEvent(vp, touch).press(0, {100, 100});
    QTest::touchEvent(vp, touch).move(0, {10, 10});
    QTest::touchEvent(vp, touch).release(0, {10, 10});
    QTest::touchEvent(vp, touch).press(0, {10, 10}).press(1, {20, 20}).press(2, {30, 30});
    QTest::touchEvent(vp, touch).move(0, {0, 0}).move(1, {200, 200}).move(2, {300, 300});
    QTest::touchEvent(vp, touch).release(0, {0, 0}).release(1, {200, 200}).release(2, {300, 300});
    EXPECT_DOUBLE_EQ(view.zoom(), pinched);
    EXPECT_DOUBLE_EQ(view.transform().m11(), pinched);
}

TEST(MapView, ResizeKeepsTheVisibleCentreAndZoom) {
    TestView view;
    load(view, DEMO_MAP);
    view.createScene();
    view.resize(300, 200);  // first resize, before showing
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.centerScreen();
    view.centerOn(400, 300);
    const QPointF centre = view.mapToScene(view.viewport()->rect().center());
    view.resize(360, 260);
    QCoreApplication::processEvents();
    const QPointF after = view.mapToScene(view.viewport()->rect().center());
    EXPECT_NEAR(after.x(), centre.x(), 1.5);
    EXPECT_NEAR(after.y(), centre.y(), 1.5);
    EXPECT_DOUBLE_EQ(view.transform().m11(), 1.0);
}

TEST(MapView, MarkersRepaintOnlyOnChangeAndDistanceIsGeodesic) {
    ShownView shown;
    TestView &view = shown.view;
    view.gpsSetCoords(1, 49.2, 16.6);
    QCoreApplication::processEvents();
    view.paints = 0;
    view.gpsSetCoords(1, 49.2, 16.6);
    QCoreApplication::processEvents();
    EXPECT_EQ(view.paints, 0);
    view.gpsSetCoords(0, 49.2, 16.6);
    QCoreApplication::processEvents();
    EXPECT_GT(view.paints, 0);

    EXPECT_EQ(view.scaleGetDistance(), 0.0);
    view.scaleSetPoint1(49.2, 16.6);
    EXPECT_EQ(view.scaleGetAzimuth(), 0.0);  // needs both points
    view.scaleSetPoint2(50.08, 14.42);
    EXPECT_NEAR(view.scaleGetDistance(), 185389.408, 1e-3);
    EXPECT_NEAR(view.scaleGetAzimuth(), 302.691817, 1e-6);
    view.clearTrack();
    EXPECT_EQ(view.scaleGetDistance(), 0.0);
}

TEST(MapView, RendersDemoMapWithTrackToPng) {
    ShownView shown;
    TestView &view = shown.view;
    view.resize(800, 600);
    // A lawn-mower survey over part of the map, readings rising towards a hot spot.
    for (int line = 0; line < 12; ++line)
        for (int step = 0; step <= 200; ++step) {
            const double x = 150 + (line % 2 ? 200 - step : step) * 2.5, y = 150 + line * 25;
            const double r = std::hypot(x - 400, y - 280);
            shown.addAtScene(x, y, 60 * std::exp(-r * r / 8000) + (step % 7));
        }
    view.gpsSetCoords(1, 49.2, 16.6);
    view.scaleSetPoint1(49.195, 16.59);
    view.scaleSetPoint2(49.203, 16.61);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, shown.viewportPos(400, 275));
    view.centerOn(400, 300);
    const QImage image = view.grab().toImage();
    const QString path = QStringLiteral(TEST_OUTPUT_DIR "/map_view_render.png");
    ASSERT_TRUE(image.save(path));
    // The hot spot is drawn in the top colour (red at alpha 200 over the map), beside the cross.
    const QColor hot(image.pixel(view.mapFromScene(QPointF(404, 279))));
    EXPECT_GT(hot.red(), 200);
    EXPECT_LT(hot.green(), 60);
}

namespace {
// Every entry under `dir` with its size and content hash: what a load must leave as it was.
QStringList snapshot(const QString &dir) {
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QByteArray hash;
        QFile file(info.filePath());
        if (info.isFile() && !info.isSymLink() && file.open(QIODevice::ReadOnly))
            hash = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
        entries << info.filePath() + ' ' + QString::number(info.size()) + ' ' + hash;
    }
    entries.sort();
    return entries;
}

void writeFile(const QString &path, const QByteArray &text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}
}  // namespace

TEST(MapView, MapFilesNamingOtherFilesOrAddressesAreRefusedAndTouchNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("maps"));
    writeFile(dir.filePath("notes.txt"), QByteArray("the surveyor's own notes\n").repeated(20));
    // A loopback listener stands for the address a map file might name.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const QByteArray url =
        "/vsicurl/http://127.0.0.1:" + QByteArray::number(ntohs(address.sin_port)) + "/tiles.tif";
    // MRF: pixels from another of the user's files; in cache mode tiles fetched from an address,
    // appended to that file and indexed in a file made beside it.
    const auto mrf = [](const QByteArray &source, const QByteArray &index) {
        return "<MRF_META>" + source +
               "<Raster><Size x=\"16\" y=\"16\" c=\"1\"/><PageSize x=\"16\" y=\"16\" c=\"1\"/>"
               "<Compression>NONE</Compression><DataType>Byte</DataType>"
               "<DataFile>../notes.txt</DataFile><IndexFile>" +
               index + "</IndexFile></Raster></MRF_META>\n";
    };
    // The one tile: 256 bytes from the start of the data file (big-endian offset and size).
    writeFile(dir.filePath("maps/pixels.idx"), QByteArray(14, 0) + QByteArray("\x01\x00", 2));
    writeFile(dir.filePath("maps/pixels.mrf"), mrf("", "pixels.idx"));
    writeFile(dir.filePath("maps/cache.mrf"),
              mrf("<CachedSource><Source>" + url + "</Source></CachedSource>", "../notes.idx"));
    // Should a request go out, it gives up soon rather than wait on the silent listener.
    qputenv("GDAL_HTTP_TIMEOUT", "2");
    const QStringList before = snapshot(dir.path());
    for (const QString name : {"pixels.mrf", "cache.mrf"}) {
        TestView view;
        load(view, dir.filePath("maps/" + name));
        ASSERT_FALSE(view.errors.isEmpty()) << name.toStdString();
        EXPECT_TRUE(view.errors[0].startsWith("Could not load raster image file!\n" +
                                              dir.filePath("maps/" + name) + ": "))
            << view.errors[0].toStdString();
        EXPECT_TRUE(view.errors[0].contains("GeoTIFF, PNG, JPEG")) << view.errors[0].toStdString();
        EXPECT_TRUE(view.mapScene().mapSize().isEmpty());
    }
    EXPECT_EQ(snapshot(dir.path()).join("\n").toStdString(), before.join("\n").toStdString());
    EXPECT_LT(::accept(listener, nullptr, nullptr), 0);  // nothing connected
    ::close(listener);
}

namespace {
// Opens the write end of FIFOs a reader may be stuck on once `deadline` has passed, so that a
// load blocked on one ends and the test fails rather than hangs.
class FifoWatchdog {
public:
    FifoWatchdog(const QStringList &fifos, std::chrono::seconds deadline)
        : m_thread([this, fifos, deadline] {
              std::unique_lock lock(m_mutex);
              if (m_done.wait_for(lock, deadline, [&] { return m_stop; })) return;
              m_fired = true;
              while (!m_stop) {
                  for (const QString &fifo : fifos) {
                      const int fd = ::open(QFile::encodeName(fifo).constData(),
                                            O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                      if (fd >= 0) ::close(fd);
                  }
                  m_done.wait_for(lock, std::chrono::milliseconds(10), [&] { return m_stop; });
              }
          }) {}
    ~FifoWatchdog() { stop(); }
    // True when it had to unblock a reader.
    bool stop() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_done.notify_all();
        if (m_thread.joinable()) m_thread.join();
        return m_fired;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_stop = false;   // guarded by m_mutex
    bool m_fired = false;  // guarded by m_mutex until the thread is joined
    std::thread m_thread;  // last: starts once the rest is ready
};
}  // namespace

TEST(MapView, AFifoBesideTheMapHoldsUpNeitherTheLoadNorTheWindow) {
    QTemporaryDir dir;
    copyDemo(dir, "area", {".png.png", ".ppr.ppr"});
    const QStringList fifos{dir.filePath("area.png.aux.xml"), dir.filePath("area.pgw")};
    for (const QString &fifo : fifos)
        ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QStringList before = snapshot(dir.path());

    FifoWatchdog watchdog(fifos, std::chrono::seconds(30));
    TestView view;
    QSignalSpy loaded(&view, &TMapView::mapLoaded);
    view.loadAll(dir.filePath("area.png"));
    // Back at once, saying so over the map area, while the files are read.
    EXPECT_EQ(view.mapHint(), "Loading the map...");
    ASSERT_TRUE(!loaded.isEmpty() || loaded.wait(60000));
    EXPECT_FALSE(watchdog.stop()) << "the load waited on a FIFO";

    EXPECT_EQ(view.mapScene().mapSize(), QImage(DEMO_MAP).size());
    const QString stem = dir.filePath("area");
    EXPECT_EQ(view.errors, QStringList("Could not load calibration file!\n" + stem +
                                       ".pgw: not a regular file\n" + stem + ".jgw: not found"));
    EXPECT_TRUE(view.mapHint().isEmpty());
    EXPECT_EQ(snapshot(dir.path()).join("\n").toStdString(), before.join("\n").toStdString());
}
