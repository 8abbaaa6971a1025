#include "rastersource.h"

#include "overviewcache.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_http.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <sys/stat.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <cmath>

namespace {
// GDAL's block cache is process-wide and defaults to a share of physical memory; 64 MB keeps the
// whole map, tiles included, well inside a few hundred megabytes on any machine.
constexpr qint64 kGdalCacheBytes = 64 * 1024 * 1024;

constexpr int kLargestSide = 1 << 30;

// Formats that keep their pixels and placement inside the file itself. Anything else (VRT, MRF,
// WMS, ... and whatever a later GDAL adds) may name other files or addresses to read or write.
struct MapFormat {
    const char *driver;
    const char *name;  // as the user knows it
};
const MapFormat kMapFormats[] = {
    {"GTiff", "GeoTIFF"}, {"PNG", "PNG"}, {"JPEG", "JPEG"}, {"WEBP", "WebP"}};

// GDAL reports errors through a per-thread handler; the text is taken from CPLGetLastErrorMsg
// instead of being printed.
struct QuietGdal {
    QuietGdal() {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        CPLErrorReset();
    }
    ~QuietGdal() { CPLPopErrorHandler(); }
    QuietGdal(const QuietGdal &) = delete;
    QuietGdal &operator=(const QuietGdal &) = delete;
    static QString lastError(const QString &fallback) {
        const char *text = CPLGetLastErrorMsg();
        return text && *text ? QString::fromUtf8(text) : fallback;
    }
};

bool allowed(const char *driverName) {
    return std::any_of(
        std::begin(kMapFormats), std::end(kMapFormats),
        [&](const MapFormat &format) { return qstricmp(driverName, format.driver) == 0; });
}

CPLHTTPResult *refuseHttp(const char *, CSLConstList, GDALProgressFunc, void *,
                          CPLHTTPFetchWriteFunc, void *, void *) {
    auto *result = static_cast<CPLHTTPResult *>(CPLCalloc(1, sizeof(CPLHTTPResult)));
    result->nStatus = 1;
    result->pszErrBuf = CPLStrdup("network access is switched off");
    return result;
}

// Once for the process, before the first dataset: whatever format or file system a GDAL brings,
// it reaches no network and probes no side file the opener did not name.
void setUpGdal() {
    // Side files are only those an open names in its list of siblings.
    CPLSetConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR");
    // /vsicurl/ and the cloud file systems built on it open no name but this one.
    CPLSetConfigOption("CPL_VSIL_CURL_ALLOWED_FILENAME", "/vsicurl/refused");
    // Any request that gets past that goes to a proxy that is not there: port 1 on loopback.
    CPLSetConfigOption("GDAL_HTTP_PROXY", "127.0.0.1:1");
    // Requests through GDAL's own HTTP layer are refused before any connection.
    CPLHTTPSetFetchCallback(refuseHttp, nullptr);
    GDALAllRegister();
    GDALSetCacheMax64(kGdalCacheBytes);
}

// The raster drivers a map may be opened with, as GDALOpenEx takes them.
const std::vector<const char *> &allowedDrivers() {
    static const std::vector<const char *> drivers = [] {
        setUpGdal();
        std::vector<const char *> names;
        for (const MapFormat &format : kMapFormats)
            if (GDALGetDriverByName(format.driver)) names.push_back(format.driver);
        names.push_back(nullptr);
        return names;
    }();
    return drivers;
}

QString formatNames() {
    QStringList names;
    for (const MapFormat &format : kMapFormats)
        if (GDALGetDriverByName(format.driver)) names << QString::fromLatin1(format.name);
    return names.join(QLatin1String(", "));
}

// A regular file, or a link to one; neither stat blocks, whatever the name is.
bool isRegular(const QByteArray &path) {
    struct stat info;
    return ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// The side files GDAL may read beside `path`: its .aux.xml and its world files, and only those
// that are regular files. Overviews (.ovr), masks (.msk) and other side files are datasets GDAL
// would open with any driver, so they are left out: overviews are built in the cache instead.
QList<QByteArray> siblingsOf(const QByteArray &path) {
    const QFileInfo map(QFile::decodeName(path));
    const QString ext = map.suffix().toLower();
    QStringList worldExts{QStringLiteral("wld")};
    if (ext.size() >= 2) worldExts << ext.left(1) + ext.right(1) + 'w' << ext + 'w';
    const QString stem = map.completeBaseName() + '.';
    QList<QByteArray> siblings;
    for (const QString &name :
         map.dir().entryList(QDir::AllEntries | QDir::Hidden | QDir::System)) {
        const bool side =
            name == map.fileName() + QLatin1String(".aux.xml") ||
            (name.startsWith(stem) && worldExts.contains(name.mid(stem.size()).toLower()));
        if (side && isRegular(QFile::encodeName(map.dir().filePath(name))))
            siblings << QFile::encodeName(name);
    }
    return siblings;
}

GDALDatasetH openDataset(const QByteArray &path, const QList<QByteArray> &siblings) {
    std::vector<const char *> names;
    for (const QByteArray &name : siblings)
        names.push_back(name.constData());
    names.push_back(nullptr);
    // No side files at all is said with no list: GDAL takes an empty one for "not looked", and
    // would probe the names itself; with no list it asks the folder, which it takes for empty.
    return GDALOpenEx(path.constData(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR,
                      allowedDrivers().data(), nullptr,
                      siblings.isEmpty() ? nullptr : const_cast<char **>(names.data()));
}

// Why GDAL did not open the file: its own words, or that the file is of a format a map may not be.
QString openError(const QByteArray &path) {
    const QString said = QuietGdal::lastError(
        QCoreApplication::translate("TMapScene", "not a raster image GDAL can read"));
    const char *const noSiblings[] = {nullptr};
    GDALDriverH driver = GDALIdentifyDriverEx(path.constData(), GDAL_OF_RASTER, nullptr,
                                              const_cast<char **>(noSiblings));
    if (driver && !allowed(GDALGetDriverShortName(driver)))
        return QCoreApplication::translate("TMapScene", "%1 is not a map format: maps open as %2")
            .arg(QString::fromUtf8(GDALGetDriverLongName(driver)), formatNames());
    return QCoreApplication::translate("TMapScene", "%1 (maps open as %2)")
        .arg(said, formatNames());
}

std::optional<TWorldFile> geoTransformOf(GDALDatasetH dataset) {
    double gt[6];
    if (GDALGetGeoTransform(dataset, gt) != CE_None) return std::nullopt;
    // GDAL's origin is the outer corner of the first pixel, a world file's its centre.
    TWorldFile world{
        gt[1], gt[4], gt[2], gt[5], gt[0] + 0.5 * (gt[1] + gt[2]), gt[3] + 0.5 * (gt[4] + gt[5])};
    if (!world.isValid()) return std::nullopt;
    return world;
}

QString crsOf(GDALDatasetH dataset) {
    OGRSpatialReferenceH srs = GDALGetSpatialRef(dataset);
    if (!srs) return {};
    char *wkt = nullptr;
    const char *const options[] = {"FORMAT=WKT2_2019", nullptr};
    if (OSRExportToWktEx(srs, &wkt, options) != OGRERR_NONE) {
        CPLFree(wkt);
        return {};
    }
    const QString text = QString::fromUtf8(wkt);
    CPLFree(wkt);
    return text;
}

int CPL_STDCALL reportProgress(double done, const char *, void *data) {
    return (*static_cast<const TRasterSource::Progress *>(data))(done) ? TRUE : FALSE;
}

GDALRasterIOExtraArg averaging(const TRasterSource::Progress &progress) {
    GDALRasterIOExtraArg extra;
    INIT_RASTERIO_EXTRA_ARG(extra);
    // Averaged, so that thin lines of a zoomed-out map fade rather than break up.
    extra.eResampleAlg = GRIORA_Average;
    if (progress) {
        extra.pfnProgress = reportProgress;
        extra.pProgressData = const_cast<TRasterSource::Progress *>(&progress);
    }
    return extra;
}
}  // namespace

std::shared_ptr<TRasterSource> TRasterSource::open(const QString &path, QString *error) {
    // Only regular files: GDAL would block on a FIFO until someone writes to it.
    if (!QFileInfo(path).isFile()) {
        *error = QFileInfo::exists(path)
                     ? QCoreApplication::translate("TMapScene", "not a regular file")
                     : QCoreApplication::translate("TMapScene", "not found");
        return nullptr;
    }
    const QuietGdal quiet;
    std::shared_ptr<TRasterSource> source(
        new TRasterSource(QFile::encodeName(QFileInfo(path).absoluteFilePath())));
    // Looked for once: every reader thread opens a handle of its own with the same side files.
    source->m_siblings = siblingsOf(source->m_path);
    GDALDatasetH dataset = openDataset(source->m_path, source->m_siblings);
    if (!dataset) {
        *error = openError(source->m_path);
        return nullptr;
    }
    const bool described = source->describe(dataset, error);
    source->release(dataset);
    if (described && !source->m_hasOverviews) source->takeCachedOverviews(path);
    return described ? source : nullptr;
}

void TRasterSource::takeCachedOverviews(const QString &path) {
    m_cacheEntry = overviewCacheEntry(path);
    GDALDatasetH cached = overviewCacheOpen(m_cacheEntry);
    if (!cached) return;
    switchTo(cached);
}

bool TRasterSource::usesCachedOverviews() const {
    const std::lock_guard lock(m_mutex);
    return m_cached;
}

bool TRasterSource::buildCachedOverviews(QString *error,
                                         const std::function<bool(double)> &progress) const {
    if (usesCachedOverviews()) return true;
    const QuietGdal quiet;
    GDALDatasetH source = acquire();
    if (!source) {
        *error = QuietGdal::lastError(
            QCoreApplication::translate("TMapScene", "the raster can no longer be opened"));
        return false;
    }
    const bool built = overviewCacheBuild(source, m_cacheEntry, progress, error);
    release(source);
    if (!built) return false;
    GDALDatasetH cached = overviewCacheOpen(m_cacheEntry);
    if (!cached) {
        *error = QuietGdal::lastError(
            QCoreApplication::translate("TMapScene", "the overviews built could not be opened"));
        return false;
    }
    switchTo(cached);
    return true;
}

void TRasterSource::switchTo(GDALDatasetH cached) const {
    std::vector<GDALDatasetH> former;
    {
        const std::lock_guard lock(m_mutex);
        m_cached = true;
        former = std::exchange(m_idle, {cached});
    }
    for (GDALDatasetH dataset : former)
        GDALClose(dataset);
}

bool TRasterSource::describe(GDALDatasetH dataset, QString *error) {
    m_size = QSize(GDALGetRasterXSize(dataset), GDALGetRasterYSize(dataset));
    const int bands = GDALGetRasterCount(dataset);
    if (m_size.isEmpty() || bands < 1) {
        *error = QCoreApplication::translate("TMapScene", "the raster has no pixels");
        return false;
    }
    // Tile arithmetic stays within int far beyond any survey map (a billion pixels a side).
    if (m_size.width() > kLargestSide || m_size.height() > kLargestSide) {
        *error =
            QCoreApplication::translate("TMapScene", "%1 x %2 pixels is larger than a map can be")
                .arg(m_size.width())
                .arg(m_size.height());
        return false;
    }
    GDALRasterBandH first = GDALGetRasterBand(dataset, 1);
    m_hasOverviews = GDALGetOverviewCount(first) > 0;
    m_world = geoTransformOf(dataset);
    m_crs = crsOf(dataset);
    const bool bytes = GDALGetRasterDataType(first) == GDT_Byte;
    GDALColorTableH table = GDALGetRasterColorTable(first);
    if (bytes && bands >= 3) {
        m_kind = bands >= 4 && GDALGetRasterColorInterpretation(GDALGetRasterBand(dataset, 4)) ==
                                   GCI_AlphaBand
                     ? Kind::Rgba
                     : Kind::Rgb;
    } else if (bytes && table) {
        m_kind = Kind::Palette;
        for (int i = 0; i < 256; ++i) {
            const GDALColorEntry *entry = GDALGetColorEntry(table, i);
            m_palette << (entry ? qPremultiply(qRgba(entry->c1, entry->c2, entry->c3, entry->c4))
                                : qRgb(0, 0, 0));
        }
    } else if (bytes) {
        m_kind = Kind::Gray;
    } else {
        // Heights, doses or any other measure: drawn as grey between its extremes.
        m_kind = Kind::Scaled;
        double range[2];
        if (GDALComputeRasterMinMax(first, TRUE, range) != CE_None) range[0] = range[1] = 0;
        m_minimum = range[0];
        m_maximum = range[1] > range[0] ? range[1] : range[0] + 1;
    }
    return true;
}

TRasterSource::~TRasterSource() {
    for (GDALDatasetH dataset : m_idle)
        GDALClose(dataset);
}

GDALDatasetH TRasterSource::acquire() const {
    bool cached = false;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            GDALDatasetH dataset = m_idle.back();
            m_idle.pop_back();
            return dataset;
        }
        cached = m_cached;
    }
    // A GDAL dataset serves one thread at a time; each concurrent reader gets its own. Should the
    // cached overviews have gone (the user emptied the cache), the raster itself still serves.
    GDALDatasetH dataset = cached ? overviewCacheOpen(m_cacheEntry) : nullptr;
    return dataset ? dataset : openDataset(m_path, m_siblings);
}

void TRasterSource::release(GDALDatasetH dataset) const {
    // A handle on the raster itself, taken before the cached overviews were, is not kept.
    const bool onRaster = m_path == GDALGetDescription(dataset);
    {
        const std::lock_guard lock(m_mutex);
        if (!(m_cached && onRaster)) {
            m_idle.push_back(dataset);
            return;
        }
    }
    GDALClose(dataset);
}

QImage TRasterSource::read(const QRect &window, const QSize &size, QString *error,
                           const Progress &progress) const {
    if (window.isEmpty() || size.isEmpty() || !QRect(QPoint(), m_size).contains(window)) {
        *error = QCoreApplication::translate("TMapScene", "outside the raster");
        return {};
    }
    const QuietGdal quiet;
    GDALDatasetH dataset = acquire();
    if (!dataset) {
        *error = QuietGdal::lastError(
            QCoreApplication::translate("TMapScene", "the raster can no longer be opened"));
        return {};
    }
    QImage image = m_kind == Kind::Scaled ? readScaled(dataset, window, size, progress, error)
                                          : readBytes(dataset, window, size, progress, error);
    release(dataset);
    return image;
}

QImage TRasterSource::readBytes(GDALDatasetH dataset, const QRect &window, const QSize &size,
                                const Progress &progress, QString *error) const {
    // Read straight into the formats the raster paint engine copies without converting (Qt's own
    // conversion of a large image would spread over its thread pool from this reader thread).
    const bool colour = m_kind == Kind::Rgb || m_kind == Kind::Rgba;
    QImage image(size,
                 m_kind == Kind::Rgb ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    std::vector<GByte> indices(colour ? 0 : size_t(size.width()) * size_t(size.height()));
    if (image.isNull()) {
        *error = QCoreApplication::translate("TMapScene", "out of memory");
        return {};
    }
    // A 32-bit pixel 0xAARRGGBB lies in memory as B, G, R, A little-endian, A, R, G, B big-endian;
    // GDAL writes the bands into those bytes in that order.
    constexpr bool little = QSysInfo::ByteOrder == QSysInfo::LittleEndian;
    static const int kLittle[] = {3, 2, 1, 4}, kBig[] = {4, 1, 2, 3}, kIndex[] = {1};
    const bool skipAlpha = !little && m_kind == Kind::Rgb;
    const int *bands = !colour ? kIndex : little ? kLittle : skipAlpha ? kBig + 1 : kBig;
    GByte *target = !colour ? indices.data() : image.bits() + (skipAlpha ? 1 : 0);
    const int bandCount = m_kind == Kind::Rgba ? 4 : colour ? 3 : 1;
    if (m_kind == Kind::Rgb) image.fill(Qt::white);  // the alpha byte GDAL does not write
    GDALRasterIOExtraArg extra = averaging(progress);
    if (m_kind == Kind::Palette) extra.eResampleAlg = GRIORA_NearestNeighbour;  // indices
    if (GDALDatasetRasterIOEx(dataset, GF_Read, window.x(), window.y(), window.width(),
                              window.height(), target, size.width(), size.height(), GDT_Byte,
                              bandCount, const_cast<int *>(bands), colour ? 4 : 1,
                              colour ? image.bytesPerLine() : size.width(), 1, &extra) != CE_None) {
        *error = QuietGdal::lastError(QCoreApplication::translate("TMapScene", "read error"));
        return {};
    }
    for (int y = 0; y < size.height() && m_kind != Kind::Rgb; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        const GByte *in = indices.data() + size_t(y) * size_t(size.width());
        for (int x = 0; x < size.width(); ++x)
            line[x] = m_kind == Kind::Rgba      ? qPremultiply(line[x])
                      : m_kind == Kind::Palette ? m_palette[in[x]]
                                                : qRgb(in[x], in[x], in[x]);
    }
    return image;
}

QImage TRasterSource::readScaled(GDALDatasetH dataset, const QRect &window, const QSize &size,
                                 const Progress &progress, QString *error) const {
    std::vector<float> values(size_t(size.width()) * size_t(size.height()));
    GDALRasterIOExtraArg extra = averaging(progress);
    if (GDALRasterIOEx(GDALGetRasterBand(dataset, 1), GF_Read, window.x(), window.y(),
                       window.width(), window.height(), values.data(), size.width(), size.height(),
                       GDT_Float32, 0, 0, &extra) != CE_None) {
        *error = QuietGdal::lastError(QCoreApplication::translate("TMapScene", "read error"));
        return {};
    }
    QImage image(size, QImage::Format_RGB32);
    const double scale = 255 / (m_maximum - m_minimum);
    for (int y = 0; y < size.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        const float *in = values.data() + size_t(y) * size_t(size.width());
        for (int x = 0; x < size.width(); ++x) {
            const double v = std::isfinite(in[x]) ? (in[x] - m_minimum) * scale : 0;
            const int grey = int(std::clamp(v, 0.0, 255.0));
            line[x] = qRgb(grey, grey, grey);
        }
    }
    return image;
}
