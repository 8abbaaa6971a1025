#include "common/eventually.h"
#include "mapscene.h"
#include "oracle.h"
#include "overviewcache.h"
#include "rasterlayer.h"

#include <gdal.h>
#include <ogr_srs_api.h>

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QFile>
#include <QLockFile>
#include <QPainter>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>

namespace {
struct Georeference {
    const char *crs;      // given to GDAL, none when null
    double transform[6];  // GDAL's geotransform, none when all zero
};

// A raster written by GDAL itself; `fill` draws on the first band, one byte a pixel.
bool writeRaster(const QString &path, const char *driver, QSize size, const Georeference &geo,
                 const std::function<void(GDALRasterBandH)> &fill = {},
                 const QList<QByteArray> &options = {}, int bands = 1) {
    GDALAllRegister();
    QList<const char *> list;
    for (const QByteArray &option : options)
        list << option.constData();
    list << nullptr;
    GDALDriverH mem = GDALGetDriverByName(std::strcmp(driver, "GTiff") ? "MEM" : "GTiff");
    GDALDatasetH dataset =
        GDALCreate(mem, std::strcmp(driver, "GTiff") ? "" : path.toUtf8(), size.width(),
                   size.height(), bands, GDT_Byte, const_cast<char **>(list.data()));
    if (!dataset) return false;
    if (geo.transform[1] != 0) GDALSetGeoTransform(dataset, const_cast<double *>(geo.transform));
    if (geo.crs) {
        OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
        OSRSetFromUserInput(srs, geo.crs);
        GDALSetSpatialRef(dataset, srs);
        OSRDestroySpatialReference(srs);
    }
    if (fill) fill(GDALGetRasterBand(dataset, 1));
    bool ok = true;
    if (std::strcmp(driver, "GTiff")) {
        GDALDatasetH copy = GDALCreateCopy(GDALGetDriverByName(driver), path.toUtf8(), dataset,
                                           FALSE, nullptr, nullptr, nullptr);
        ok = copy != nullptr;
        GDALClose(copy);
    }
    GDALClose(dataset);
    return ok;
}

void writeText(const QString &path, const QByteArray &text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

// Overviews cached for this run's rasters, none before each test and none left after it.
class OverviewCache : public ::testing::Test {
protected:
    void SetUp() override { folder().removeRecursively(); }
    void TearDown() override { folder().removeRecursively(); }

    static QDir folder() {
        return QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + "/overviews");
    }

    static bool writeSmall(const QString &path) {
        return writeRaster(path, "GTiff", QSize(1100, 1100), {nullptr, {}});
    }

    // The entry of the raster at `path` (a small one written when there is none) built; empty
    // when that failed.
    static QString build(const QString &path, qint64 budget = kOverviewCacheBudget) {
        if (!QFileInfo::exists(path) && !writeSmall(path)) return {};
        GDALDatasetH source = GDALOpen(QFile::encodeName(path), GA_ReadOnly);
        if (!source) return {};
        const QString entry = overviewCacheEntry(path);
        QString error;
        const bool built = overviewCacheBuild(source, entry, {}, &error, budget);
        GDALClose(source);
        EXPECT_TRUE(built) << error.toStdString();
        return built ? entry : QString();
    }
};

// Generous: a large raster without overviews gets them built first.
bool processUntilIdle(const TRasterLayer &layer) {
    return test::eventually(
        [&] {
            QCoreApplication::processEvents();
            return !layer.busy();
        },
        std::chrono::seconds(90));
}
}  // namespace

// Each way a map can be placed, against gdaltransform reading the same files: raster pixel to
// WGS84 by GDAL, back to the scene by the map, within a millionth of a pixel.
TEST(RasterPlacement, AgreesWithGdalForEveryKindOfGeoreference) {
    QTemporaryDir dir;
    const QSize size(300, 200);
    const double cos30 = 0.8660254037844386, sin30 = 0.5;
    struct Case {
        QString file;
        const char *driver;
        Georeference geo;
        QByteArray worldFile, projFile;  // companions written beside it, when not empty
        QString sourceCrs;               // for gdaltransform, when only a companion names it
    } cases[] = {
        {"utm.tif", "GTiff", {"EPSG:32633", {616000, 2.5, 0, 5452000, 0, -2.5}}, {}, {}, {}},
        {"osgb.png", "PNG", {"EPSG:27700", {400000, 1, 0, 300000, 0, -1}}, {}, {}, {}},
        {"swiss.tif", "GTiff", {"EPSG:2056", {2600000, 0.5, 0, 1200000, 0, -0.5}}, {}, {}, {}},
        {"mercator.png",
         "PNG",
         {nullptr, {}},
         "10\n0\n0\n-10\n1848000\n6308000\n",
         "+init=epsg:3857\n",
         "EPSG:3857"},
        {"rotated.png",
         "PNG",
         {nullptr, {}},
         QString("%1\n%2\n%2\n%3\n616000\n5452000\n")
             .arg(2 * cos30, 0, 'g', 17)
             .arg(2 * sin30, 0, 'g', 17)
             .arg(-2 * cos30, 0, 'g', 17)
             .toUtf8(),
         "+proj=utm +zone=33 +datum=WGS84\n",
         "EPSG:32633"},
    };
    const QByteArray pixels = "0 0\n37.25 81.5\n300 200\n";
    for (const Case &c : cases) {
        const QString path = dir.filePath(c.file);
        ASSERT_TRUE(writeRaster(path, c.driver, size, c.geo)) << c.file.toStdString();
        const QString stem = path.chopped(4);
        if (!c.worldFile.isEmpty()) writeText(stem + ".pgw", c.worldFile);
        if (!c.projFile.isEmpty()) writeText(stem + ".ppr", c.projFile);

        TMapScene scene;
        ASSERT_TRUE(scene.loadMapImage(path)) << scene.rasterError().toStdString();
        ASSERT_TRUE(scene.loadCalFile(stem + ".pgw") || scene.useRasterPlacement());
        ASSERT_TRUE(scene.loadProjFile(stem + ".ppr") || scene.useRasterProjection());
        QStringList args{"-t_srs", "EPSG:4326"};
        if (!c.sourceCrs.isEmpty()) args << "-s_srs" << c.sourceCrs;
        const QStringList toWorld =
            test::oracle("gdaltransform", QStringList(args) << path, pixels);
        ASSERT_EQ(toWorld.size(), 9) << "gdaltransform (gdal-bin) is the oracle";
        QByteArray positions;
        for (int i = 0; i < 3; ++i)
            positions += (toWorld[3 * i] + ' ' + toWorld[3 * i + 1] + '\n').toLatin1();
        const QStringList toPixel =
            test::oracle("gdaltransform", QStringList(args) << "-i" << path, positions);
        ASSERT_EQ(toPixel.size(), 9);
        const QStringList pixel = QString::fromLatin1(pixels).split(QRegularExpression("\\s+"));
        for (int i = 0; i < 3; ++i) {
            const std::string where = c.file.toStdString() + " #" + std::to_string(i);
            double lat, lon, x, y;
            // 4e-12 degrees is a millionth of the smallest pixel here (0.5 m).
            ASSERT_TRUE(scene.convToWorld(pixel[2 * i].toDouble(), pixel[2 * i + 1].toDouble(),
                                          &lat, &lon));
            EXPECT_NEAR(lon, toWorld[3 * i].toDouble(), 4e-12) << where;
            EXPECT_NEAR(lat, toWorld[3 * i + 1].toDouble(), 4e-12) << where;
            // The same direction as GDAL's: a datum shift is not exactly its own inverse.
            ASSERT_TRUE(
                scene.convToProj(toWorld[3 * i + 1].toDouble(), toWorld[3 * i].toDouble(), &x, &y));
            EXPECT_NEAR(x, toPixel[3 * i].toDouble(), 1e-6) << where;
            EXPECT_NEAR(y, toPixel[3 * i + 1].toDouble(), 1e-6) << where;
        }
    }

    // A world file beside a GeoTIFF wins over the GeoTIFF's own placement.
    writeText(dir.filePath("utm.pgw"), "2.5\n0\n0\n-2.5\n616101.25\n5451998.75\n");
    TMapScene scene;
    ASSERT_TRUE(scene.loadMapImage(dir.filePath("utm.tif")));
    ASSERT_TRUE(scene.useRasterPlacement() && scene.useRasterProjection());
    double lat, lon, x, y;
    ASSERT_TRUE(scene.convToWorld(10, 10, &lat, &lon));
    ASSERT_TRUE(scene.loadCalFile(dir.filePath("utm.pgw")));
    ASSERT_TRUE(scene.convToProj(lat, lon, &x, &y));
    EXPECT_NEAR(x, 10 - 100 / 2.5, 1e-6);
    EXPECT_NEAR(y, 10, 1e-6);
}

// An 8000 x 8000 raster without overviews viewed at full resolution across its whole width: the
// tiles are read in the background and kept within the cache's budget, and what is drawn is what
// GDAL reads at that pixel.
TEST(RasterLayer, LargeRasterDrawsWithinItsBudgetAndShowsGdalsPixels) {
    QTemporaryDir dir;
    const QString path = dir.filePath("large.tif");
    const auto marks = [](GDALRasterBandH band) {
        GByte square[16 * 16];
        std::fill(std::begin(square), std::end(square), GByte(200));
        for (int i = 0; i < 8; ++i)
            ASSERT_EQ(GDALRasterIO(band, GF_Write, 1000 * i + 3, 900 * i + 5, 16, 16, square, 16,
                                   16, GDT_Byte, 0, 0),
                      CE_None);
    };
    ASSERT_TRUE(writeRaster(path, "GTiff", QSize(8000, 8000), {"EPSG:32633", {0, 1, 0, 0, 0, -1}},
                            marks, {"TILED=YES", "COMPRESS=DEFLATE", "SPARSE_OK=TRUE"}, 3));
    QString error;
    const auto source = TRasterSource::open(path, &error);
    ASSERT_TRUE(source) << error.toStdString();
    constexpr qint64 kBudget = 2 * 1024 * 1024;  // eight tiles
    TRasterLayer layer(source, kBudget);
    ASSERT_TRUE(processUntilIdle(layer));  // the overview image

    QImage view(512, 512, QImage::Format_RGB32);
    for (int i = 0; i < 8; ++i) {
        const QRectF window(1000 * i, 900 * i, 512, 512);  // each window holds one mark
        for (int pass = 0; pass < 2; ++pass) {
            view.fill(Qt::black);
            QPainter painter(&view);
            painter.translate(-window.topLeft());
            layer.paint(&painter, window, window, 1.0);
            painter.end();
            ASSERT_TRUE(processUntilIdle(layer));
        }
        EXPECT_LE(layer.cachedBytes(), kBudget);
        EXPECT_GT(layer.cachedBytes(), 0);
        const int x = 1000 * i + 10, y = 900 * i + 10;
        const QStringList gdal = test::oracle(
            "gdallocationinfo", {"-valonly", path, QString::number(x), QString::number(y)}, "");
        ASSERT_EQ(gdal.size(), 3) << "gdallocationinfo (gdal-bin) is the oracle";
        const QRgb shown = view.pixel(x - int(window.x()), y - int(window.y()));
        EXPECT_EQ(QList<int>({qRed(shown), qGreen(shown), qBlue(shown)}),
                  QList<int>({gdal[0].toInt(), gdal[1].toInt(), gdal[2].toInt()}));
        EXPECT_EQ(view.pixel(500, 500), qRgb(0, 0, 0));
    }
}

// A 6000 x 6000 raster without overviews: overviews are built once in the background, into the
// user's cache and nowhere near the raster; the next open uses them without building again, and
// a raster changed since is never served from the overviews of its former content.
TEST_F(OverviewCache, OverviewsOfALargeRasterAreBuiltOnceInTheCache) {
    QTemporaryDir dir;
    const QString path = dir.filePath("large.tif");
    const auto square = [](GByte value) {
        return [value](GDALRasterBandH band) {
            std::vector<GByte> block(512 * 512, value);
            ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, 0, 512, 512, block.data(), 512, 512, GDT_Byte,
                                   0, 0),
                      CE_None);
        };
    };
    const QList<QByteArray> options{"TILED=YES", "COMPRESS=DEFLATE", "SPARSE_OK=TRUE"};
    ASSERT_TRUE(writeRaster(path, "GTiff", QSize(6000, 6000), {nullptr, {}}, square(200), options));
    const QDir cache(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
                     "/overviews");
    const auto built = [&] { return cache.entryInfoList({"*.ovr"}, QDir::Files); };
    ASSERT_TRUE(built().isEmpty());
    // The top left corner of the raster, read 60 times reduced.
    const auto corner = [](const TRasterSource &source) {
        QString error;
        const QImage image = source.read(QRect(0, 0, 6000, 6000), QSize(100, 100), &error);
        return image.isNull() ? -1 : qGray(image.pixel(2, 2));
    };

    QString error;
    auto source = TRasterSource::open(path, &error);
    ASSERT_TRUE(source) << error.toStdString();
    EXPECT_FALSE(source->hasOverviews() || source->usesCachedOverviews());
    {
        TRasterLayer layer(source);
        QList<int> progress;
        QObject::connect(&layer, &TRasterLayer::progress,
                         [&](int percent) { progress << percent; });
        ASSERT_TRUE(processUntilIdle(layer));
        ASSERT_FALSE(progress.isEmpty());
        EXPECT_EQ(progress.last(), 100);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        EXPECT_TRUE(source->usesCachedOverviews());
        EXPECT_TRUE(layer.overviewError().isEmpty());
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"large.tif"});
    ASSERT_EQ(built().size(), 1);
    const QFileInfo overviews = built().first();
    const QDateTime builtAt = overviews.lastModified();
    EXPECT_EQ(corner(*source), 200);

    auto again = TRasterSource::open(path, &error);
    ASSERT_TRUE(again && again->usesCachedOverviews());
    {
        TRasterLayer layer(again);
        ASSERT_TRUE(processUntilIdle(layer));
    }
    ASSERT_EQ(built().size(), 1);
    EXPECT_EQ(built().first().lastModified(), builtAt);

    // The same size and a new time, as a map edited in place.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(writeRaster(path, "GTiff", QSize(6000, 6000), {nullptr, {}}, square(50), options));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(builtAt.addSecs(60), QFileDevice::FileModificationTime));
    file.close();
    auto changed = TRasterSource::open(path, &error);
    ASSERT_TRUE(changed);
    EXPECT_FALSE(changed->usesCachedOverviews());
    EXPECT_EQ(corner(*changed), 50);
    // A map closed while its overviews are being built stops the build and leaves nothing of it.
    const QString noisy = dir.filePath("noisy.tif");
    ASSERT_TRUE(writeRaster(noisy, "GTiff", QSize(8000, 8000), {nullptr, {}},
                            [](GDALRasterBandH band) {
                                std::vector<GByte> row(8000);
                                for (int y = 0; y < 8000; ++y) {
                                    for (int x = 0; x < 8000; ++x)
                                        row[x] = GByte((x * 31 + y * 17) ^ (x >> 3));
                                    ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, y, 8000, 1,
                                                           row.data(), 8000, 1, GDT_Byte, 0, 0),
                                              CE_None);
                                }
                            },
                            {"TILED=YES"}));
    const QStringList before = cache.entryList(QDir::Files);
    auto closed = TRasterSource::open(noisy, &error);
    ASSERT_TRUE(closed);
    {
        TRasterLayer layer(closed);
        int shown = -1;
        QObject::connect(&layer, &TRasterLayer::progress, [&](int percent) { shown = percent; });
        ASSERT_TRUE(test::eventually(
            [&] {
                QCoreApplication::processEvents();
                return shown > 0;
            },
            std::chrono::seconds(90)));
    }
    // Unless the build won the race and is complete.
    EXPECT_TRUE(closed->usesCachedOverviews() || cache.entryList(QDir::Files) == before)
        << cache.entryList(QDir::Files).join(' ').toStdString();
}

// The files of builds killed mid-way, by a former version without lock files or by a power cut,
// go with the next build that succeeds, whichever raster they were of; those of a build still
// running stay.
TEST_F(OverviewCache, KilledBuildsLeaveNothingWhileRunningOnesKeepTheirFiles) {
    QTemporaryDir dir;
    const QString path = dir.filePath("map.tif");
    ASSERT_TRUE(writeSmall(path));
    const QString base = overviewCacheEntry(path).chopped(4);
    const QString other = folder().filePath(QString(20, 'a') + '-' + QString(20, 'b'));
    const QString running = base + ".0000a11e.part";
    ASSERT_TRUE(folder().mkpath("."));
    for (const QString &stem :
         {base + ".0000dead.part", base + ".0000beef.part", other + ".00000bad.part", running}) {
        writeText(stem + ".vrt", "<VRTDataset/>");
        writeText(stem + ".vrt.ovr", QByteArray(4096, 'x'));
    }
    writeText(base + ".0000beef.part.lock", "4242\nsurvokart\n\n\nformer-boot\n");
    QLockFile lock(running + ".lock");
    ASSERT_TRUE(lock.tryLock(0));
    const QString entry = build(path);
    ASSERT_FALSE(entry.isEmpty());
    QStringList expected{entry, entry + ".ovr", running + ".lock", running + ".vrt",
                         running + ".vrt.ovr"};
    for (QString &name : expected)
        name = QFileInfo(name).fileName();
    expected.sort();
    EXPECT_EQ(folder().entryList(QDir::Files, QDir::Name).join(' ').toStdString(),
              expected.join(' ').toStdString());
}

// Beyond its budget the cache loses the entries opened least recently first, never the one just
// built.
TEST_F(OverviewCache, BeyondItsBudgetTheLeastRecentlyOpenedEntriesGoFirst) {
    QTemporaryDir dir;
    QStringList entries;
    for (const char *name : {"a.tif", "b.tif", "c.tif"})
        entries << build(dir.filePath(name));
    ASSERT_FALSE(entries.contains(QString()));
    // Opened three, two and one hour ago, and the first once more now.
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < 3; ++i) {
        QFile vrt(entries[i]);
        ASSERT_TRUE(
            vrt.open(QIODevice::ReadWrite) &&
            vrt.setFileTime(now.addSecs(3600 * (i - 3)), QFileDevice::FileModificationTime));
    }
    GDALDatasetH opened = overviewCacheOpen(entries[0]);
    ASSERT_TRUE(opened);
    GDALClose(opened);
    const auto bytes = [](const QString &entry) {
        return QFileInfo(entry).size() + QFileInfo(entry + ".ovr").size();
    };
    // Room for two entries and a half.
    entries << build(dir.filePath("d.tif"), bytes(entries[0]) * 5 / 2);
    ASSERT_FALSE(entries.last().isEmpty());
    QList<bool> kept;
    for (const QString &entry : entries)
        kept << (QFileInfo::exists(entry) && QFileInfo::exists(entry + ".ovr"));
    EXPECT_EQ(kept, QList<bool>({true, false, false, true}));
}
