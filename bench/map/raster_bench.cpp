// Panning a 40 000 x 40 000 GeoTIFF at 1:1 through the map scene, against drawing the same-sized
// view from an image in memory (the baseline, measured in the same run). Counters:
//   x_image (repaint time / baseline, goal at most 2), open_s (opening the raster),
//   cache_mb (tiles held), rss_mb (resident memory of the whole process, goal under 300).
// The GeoTIFF is written in the setup: tiled, deflated, sparse outside the panned area, with
// overviews. A second case pans at 1/16 across a GeoTIFF without overviews, once the map has
// built them in its cache (build_s, counted apart), against the same baseline.

#include "../baseline.h"
#include "mapscene.h"
#include "rasterlayer.h"

#include <benchmark/benchmark.h>
#include <gdal.h>
#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>

#include <thread>

namespace {

constexpr int kSide = 40000;
const QRect kPanned(20000, 20000, 4096, 3072);  // the part with pixels in it
const QSize kViewport(1024, 768);
constexpr int kStep = 48;  // pixels a repaint moves

void ensureApplication() {
    static int argc = 1;
    static char name[] = "map_raster_bench";
    static char *argv[] = {name, nullptr};
    if (qApp) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The overviews the map builds go to a cache of this run, not the user's.
    static QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
    static QApplication app(argc, argv);
}

QRgb patternAt(int x, int y) {
    return qRgb((x * 7) & 0xff, (y * 3) & 0xff, ((x ^ y) >> 4) & 0xff);
}

// The panned area's pixels, also the baseline's image.
const QImage &pannedImage() {
    static const QImage image = [] {
        QImage i(kPanned.size(), QImage::Format_RGB32);
        for (int y = 0; y < i.height(); ++y)
            for (int x = 0; x < i.width(); ++x)
                i.setPixel(x, y, patternAt(x, y));
        return i;
    }();
    return image;
}

QString writeGeoTiff(const QTemporaryDir &dir, bool overviews = true) {
    GDALAllRegister();
    const QString path = dir.filePath("large.tif");
    const char *options[] = {"TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=DEFLATE",
                             "ZLEVEL=1",  "SPARSE_OK=TRUE", "BIGTIFF=YES",    nullptr};
    GDALDatasetH dataset = GDALCreate(GDALGetDriverByName("GTiff"), path.toUtf8(), kSide, kSide, 3,
                                      GDT_Byte, const_cast<char **>(options));
    double transform[6] = {500000, 0.25, 0, 5500000, 0, -0.25};
    GDALSetGeoTransform(dataset, transform);
    QImage rgba = pannedImage().convertToFormat(QImage::Format_RGBX8888);
    int bands[] = {1, 2, 3};
    if (GDALDatasetRasterIO(dataset, GF_Write, kPanned.x(), kPanned.y(), kPanned.width(),
                            kPanned.height(), rgba.bits(), rgba.width(), rgba.height(), GDT_Byte, 3,
                            bands, 4, int(rgba.bytesPerLine()), 1) != CE_None)
        qFatal("could not write the benchmark raster");
    if (!overviews) {
        GDALClose(dataset);
        return path;
    }
    // Overviews as gdaladdo makes them, but filled from the pixels in memory: computing them
    // over the empty rest of the raster would take minutes.
    int levels[] = {2, 4, 8, 16, 32, 64, 128};
    if (GDALBuildOverviews(dataset, "NONE", 7, levels, 0, nullptr, nullptr, nullptr) != CE_None)
        qFatal("could not make the overviews");
    for (int i = 0; i < 7; ++i) {
        const int f = levels[i];
        const QImage scaled =
            rgba.scaled(rgba.size() / f, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        for (int band = 1; band <= 3; ++band) {
            GDALRasterBandH overview = GDALGetOverview(GDALGetRasterBand(dataset, band), i);
            if (GDALRasterIO(overview, GF_Write, kPanned.x() / f, kPanned.y() / f, scaled.width(),
                             scaled.height(), const_cast<uchar *>(scaled.constBits()) + band - 1,
                             scaled.width(), scaled.height(), GDT_Byte, 4,
                             int(scaled.bytesPerLine())) != CE_None)
                qFatal("could not write the overviews");
        }
    }
    GDALClose(dataset);
    return path;
}

double residentMegabytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ')[0].toDouble() / 1024;
    return 0;
}

// The view's windows while panning right and down across the panned area, and back.
QList<QRect> panPath() {
    QList<QRect> windows;
    for (int i = 0; i * kStep + kViewport.width() < kPanned.width() &&
                    i * kStep + kViewport.height() < kPanned.height();
         ++i)
        windows << QRect(kPanned.topLeft() + QPoint(i * kStep, i * kStep), kViewport);
    return windows;
}

void waitUntilIdle(const TRasterLayer &layer) {
    while (layer.busy()) {
        QCoreApplication::processEvents();
        std::this_thread::yield();
    }
}

// Seconds a repaint of the view takes from an image in memory, panning as `path` does.
double imageBaseline(QImage &view) {
    const QList<QRect> path = panPath();
    const QImage &image = pannedImage();
    std::size_t next = 0;
    return bench::seconds_per_call([&] {
        const QRect window = path[int(next++ % path.size())].translated(-kPanned.topLeft());
        QPainter painter(&view);
        painter.drawImage(QPoint(), image, window);
    });
}

// Pans the scene's map along `path` in `view`, a first pass landing the tiles as panning does
// when the user pauses, then times the repaints against `baseline`.
void panAndReport(benchmark::State &state, TMapScene &scene, QImage &view, const QList<QRect> &path,
                  double baseline) {
    TRasterLayer &layer = *scene.rasterLayer();
    const auto paint = [&](const QRect &window) {
        QPainter painter(&view);
        scene.render(&painter, QRectF(QPointF(), kViewport), window);
    };
    for (const QRect &window : path) {
        paint(window);
        waitUntilIdle(layer);
    }
    std::size_t next = 0;
    bench::LoopTimer timer;
    for (auto _ : state) {
        paint(path[int(next++ % path.size())]);
        benchmark::ClobberMemory();
    }
    timer.report(state, baseline, "x_image");
    state.counters["cache_mb"] = double(layer.cachedBytes()) / (1024 * 1024);
    state.counters["rss_mb"] = residentMegabytes();
}

void BM_PanLargeGeoTiff(benchmark::State &state) {
    ensureApplication();
    GDALSetCacheMax64(64 * 1024 * 1024);  // as the map sets it on its first raster
    QTemporaryDir dir;
    const QString path = writeGeoTiff(dir);
    QImage view(kViewport, QImage::Format_RGB32);
    const double baseline = imageBaseline(view);

    const auto openStart = bench::clock::now();
    TMapScene scene;
    if (!scene.loadMapImage(path)) qFatal("%s", qPrintable(scene.rasterError()));
    const double openSeconds = bench::seconds_since(openStart);
    scene.createScene();
    panAndReport(state, scene, view, panPath(), baseline);
    state.counters["open_s"] = openSeconds;
}
BENCHMARK(BM_PanLargeGeoTiff)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The view's windows at 1/16 while panning right and down across the raster's middle.
QList<QRect> coarsePanPath() {
    constexpr int kZoom = 16;
    const QSize window = kViewport * kZoom;
    QList<QRect> windows;
    for (QPoint at(kSide / 4, kSide / 4); at.x() + window.width() < kSide * 3 / 4;
         at += QPoint(kStep, kStep) * kZoom)
        windows << QRect(at, window);
    return windows;
}

void BM_PanAtOneSixteenthWithCachedOverviews(benchmark::State &state) {
    ensureApplication();
    GDALSetCacheMax64(64 * 1024 * 1024);
    QTemporaryDir dir;
    const QString path = writeGeoTiff(dir, false);
    QImage view(kViewport, QImage::Format_RGB32);
    const double baseline = imageBaseline(view);

    const auto buildStart = bench::clock::now();
    TMapScene scene;
    if (!scene.loadMapImage(path)) qFatal("%s", qPrintable(scene.rasterError()));
    scene.createScene();
    waitUntilIdle(*scene.rasterLayer());
    if (!scene.rasterLayer()->source().usesCachedOverviews()) qFatal("no overviews were built");
    const double buildSeconds = bench::seconds_since(buildStart);
    panAndReport(state, scene, view, coarsePanPath(), baseline);
    state.counters["build_s"] = buildSeconds;
}
BENCHMARK(BM_PanAtOneSixteenthWithCachedOverviews)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
