#include "mapscene.h"

#include "colour.h"
#include "format.h"
#include "rasteritem.h"
#include "rasterlayer.h"
#include "rasterreader.h"
#include "trackitem.h"
#include "trackstore.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>

TMapScene::TMapScene(QObject *parent)
    : QGraphicsScene(parent), m_track(std::make_shared<TTrackStore>()) {
    setBackgroundBrush(QBrush(Qt::gray, Qt::SolidPattern));
    // Two items: the map and the track, which indexes itself.
    setItemIndexMethod(NoIndex);
    if (!TGeoTransform::checkDefinition(QString::fromLatin1(TGeoTransform::kWgs84Definition),
                                        &m_wgs84Error) &&
        m_wgs84Error.isEmpty())
        m_wgs84Error = tr("unknown error");
}

TMapScene::~TMapScene() {
    clear();  // the raster item goes before the layer it draws
}

namespace {
// World and projection files are a few short lines. The bound keeps a link to a device or a huge
// file from hanging the loader or filling memory; 64 KiB is far beyond any real one.
constexpr qint64 kCompanionLimit = 64 * 1024;

std::optional<QByteArray> readCompanion(const QString &path, QString *error) {
    // Opened without waiting for a writer, as a FIFO would have it, and read only when the file
    // opened is a regular one: no gap between looking and reading for a swap to slip into.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = qt_error_string(errno);
        return std::nullopt;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = TMapScene::tr("not a regular file");
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = file.errorString();
        return std::nullopt;
    }
    const QByteArray text = file.read(kCompanionLimit + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return std::nullopt;
    }
    if (text.size() > kCompanionLimit) {
        *error = TMapScene::tr("larger than %1 KiB").arg(kCompanionLimit / 1024);
        return std::nullopt;
    }
    return text;
}

QList<TMapFiles::Companion> readCompanions(const QStringList &stems, const QStringList &suffixes) {
    QList<TMapFiles::Companion> companions;
    for (const QString &stem : stems) {
        for (const QString &suffix : suffixes) {
            TMapFiles::Companion companion;
            companion.path = stem + suffix;
            companion.text = readCompanion(companion.path, &companion.error);
            companion.exists = companion.text || QFileInfo::exists(companion.path);
            companions << companion;
        }
    }
    return companions;
}
}  // namespace

TMapFiles TMapFiles::read(const QString &imagePath) {
    TMapFiles files;
    files.imagePath = QFileInfo(imagePath).absoluteFilePath();
    files.raster = TMapScene::openMapImage(files.imagePath, &files.rasterError);
    files.imageExists = files.raster || QFileInfo::exists(files.imagePath);
    // GIS tools name the companions of "area.v2.png" after everything up to the last dot
    // ("area.v2.pgw"); older tools cut at the first dot ("area.pgw"). Both are looked for, in
    // that order.
    const QFileInfo info(imagePath);
    const QString dir = info.path() + QLatin1Char('/');
    QStringList stems{dir + info.completeBaseName(), dir + info.baseName()};
    stems.removeDuplicates();
    files.calibration = readCompanions(stems, {QStringLiteral(".pgw"), QStringLiteral(".jgw")});
    files.projection = readCompanions(
        stems, {QStringLiteral(".ppr"), QStringLiteral(".jpr"), QStringLiteral(".prj")});
    return files;
}

bool TMapScene::loadCalFile(const QString &path) {
    const std::optional<QByteArray> text = readCompanion(path, &m_calError);
    return text && loadCalText(*text);
}

bool TMapScene::loadCalText(const QByteArray &text) {
    QByteArray copy = text;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    const std::optional<TWorldFile> world = TWorldFile::parse(buffer);
    if (!world) {
        m_calError = tr("not six numbers of an invertible transform");
        return false;
    }
    m_calError.clear();
    m_world = *world;
    return true;
}

bool TMapScene::loadProjFile(const QString &path) {
    const std::optional<QByteArray> text = readCompanion(path, &m_projError);
    return text && loadProjText(*text);
}

bool TMapScene::loadProjText(const QByteArray &text) {
    // WKT ("PROJCS[...]" of a .prj) may be spread over lines; a PROJ string is the first line.
    const QString whole = QString::fromUtf8(text).trimmed();
    static const QRegularExpression wkt(QStringLiteral("^[A-Za-z_]+\\s*\\["));
    const QString definition =
        wkt.match(whole).hasMatch() ? whole : QString::fromUtf8(text.left(text.indexOf('\n')));
    m_projError.clear();
    m_geo = TGeoTransform::create(definition, &m_projError);
    return m_geo != nullptr;
}

bool TMapScene::loadMapImage(const QString &path) {
    QString error;
    std::shared_ptr<TRasterSource> source = openMapImage(path, &error);
    return useMapImage(std::move(source), error);
}

std::shared_ptr<TRasterSource> TMapScene::openMapImage(const QString &path, QString *error) {
    // GDAL's JPEG reader, like Qt's, fills data cut short with grey and only warns.
    if (!jpegCompleteOrOtherFormat(path)) {
        *error = tr("the JPEG data is damaged or cut short");
        return nullptr;
    }
    return TRasterSource::open(path, error);
}

bool TMapScene::useMapImage(std::shared_ptr<TRasterSource> source, const QString &error) {
    if (!source) {
        m_rasterError = error;
        return false;
    }
    auto layer = std::make_unique<TRasterLayer>(std::move(source));
    if (!layer->overviewError().isEmpty()) {
        m_rasterError = layer->overviewError();
        return false;
    }
    dropRasterItem();
    m_mapImage = QImage();
    m_raster = std::move(layer);
    m_rasterError.clear();
    connect(m_raster.get(), &TRasterLayer::areaReady, this,
            [this](const QRectF &area) { update(area); });
    connect(m_raster.get(), &TRasterLayer::progress, this, &TMapScene::rasterProgress);
    return true;
}

void TMapScene::setMapImage(const QImage &image) {
    dropRasterItem();
    m_raster.reset();
    m_mapImage = image;
}

void TMapScene::dropRasterItem() {
    // The item draws through the layer: it must not outlive it.
    delete m_rasterItem;
    m_rasterItem = nullptr;
}

QSize TMapScene::mapSize() const {
    return m_raster ? m_raster->size() : m_mapImage.size();
}

bool TMapScene::useRasterPlacement() {
    const std::optional<TWorldFile> world =
        m_raster ? m_raster->source().worldFile() : std::nullopt;
    m_calError.clear();
    if (!world) return false;
    m_world = *world;
    return true;
}

bool TMapScene::useRasterProjection() {
    const QString crs = m_raster ? m_raster->source().crs() : QString();
    m_projError.clear();
    if (crs.isEmpty()) return false;
    m_geo = TGeoTransform::create(crs, &m_projError);
    return m_geo != nullptr;
}

bool TMapScene::hasProjection() const {
    return m_geo && m_wgs84Error.isEmpty() && m_world.isValid();
}

bool TMapScene::convToProj(double latitude, double longitude, double *sceneX,
                           double *sceneY) const {
    *sceneX = *sceneY = 0;
    if (!hasProjection()) return false;
    double mapX, mapY;
    const bool ok = m_geo->toMap(latitude, longitude, &mapX, &mapY);
    const QPointF scene = m_world.mapToScene(mapX, mapY);
    *sceneX = scene.x();
    *sceneY = scene.y();
    return ok && std::isfinite(*sceneX) && std::isfinite(*sceneY);
}

bool TMapScene::convToWorld(double sceneX, double sceneY, double *latitude,
                            double *longitude) const {
    *latitude = *longitude = 0;
    if (!hasProjection()) return false;
    const QPointF map = m_world.sceneToMap(sceneX, sceneY);
    return m_geo->toGeographic(map.x(), map.y(), latitude, longitude);
}

void TMapScene::setColor(const QList<double> &thresholds, const QList<QColor> &colors) {
    m_thresholds = thresholds;
    m_colors = colors;
}

quint16 TMapScene::styleFor(double value) {
    return m_track->styleId(trackColour(value, m_thresholds, m_colors), m_trackR);
}

void TMapScene::createScene() {
    clear();
    m_trackItem = nullptr;
    m_rasterItem = nullptr;
    if (m_raster) {
        m_rasterItem = new TRasterItem(m_raster.get());
        addItem(m_rasterItem);
    } else {
        addPixmap(QPixmap::fromImage(m_mapImage));
    }
    if (hasProjection()) {
        // Stored positions are reused; only the colours and the radius follow the settings.
        m_track->clearStyles();
        for (quint32 i = 0; i < m_track->size(); ++i)
            m_track->setStyleOf(i, styleFor(m_track->value(i)));
        m_trackItem = new TTrackItem(m_track, 0);
        addItem(m_trackItem);
    }
    setSceneRect(itemsBoundingRect());
}

void TMapScene::addTrackPoint(double latitude, double longitude, double altitude, double value) {
    addTrackPoint(TTrackPoint{latitude, longitude, altitude, value});
}

void TMapScene::addTrackPoint(TTrackPoint point) {
    convToProj(point.latitude, point.longitude, &point.sceneX, &point.sceneY);
    point.unit = readingUnit(point.unit);
    if (point.device < 0 || point.device > 255) point.device = 0;
    // Coloured by the reading as the store keeps it, as a rebuild will colour it.
    const quint32 last = m_track->size();
    m_track->append(point, 0);
    m_track->setStyleOf(last, styleFor(m_track->value(last)));
    if (m_trackItem) {
        m_trackItem->pointAppended();
    } else {
        m_trackItem = new TTrackItem(m_track, m_track->size() - 1);
        addItem(m_trackItem);
    }
}

void TMapScene::placeTrack() {
    m_track->relocate([this](double latitude, double longitude) {
        QPointF at;
        convToProj(latitude, longitude, &at.rx(), &at.ry());
        return at;
    });
}

void TMapScene::setColourByCountRate(bool countRate) {
    if (countRate == m_byCountRate) return;
    m_byCountRate = countRate;
    m_track->setColourByCountRate(countRate);
    createScene();
}

void TMapScene::clearTrack() {
    // The drawn discs stay on screen until the next rebuild; only the track itself is emptied.
    m_track = std::make_shared<TTrackStore>();
    m_track->setColourByCountRate(m_byCountRate);
    m_trackItem = nullptr;
}

int TMapScene::getTrackLen() const {
    return int(m_track->size());
}

TTrackPoint TMapScene::trackPoint(int index) const {
    return m_track->point(quint32(index));
}

int TMapScene::pick(double sceneX, double sceneY) const {
    return int(m_track->pick(sceneX, sceneY, m_trackR));
}
