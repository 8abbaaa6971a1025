#include "mapscene.h"

#include "colour.h"
#include "format.h"
#include "trackitem.h"
#include "trackstore.h"

#include <QFile>
#include <QGraphicsPixmapItem>
#include <QImageReader>
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

TMapScene::~TMapScene() = default;

bool TMapScene::loadCalFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const std::optional<TWorldFile> world = TWorldFile::parse(file);
    if (!world) return false;
    m_world = *world;
    return true;
}

bool TMapScene::loadProjFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QString definition = QString::fromUtf8(file.readLine());
    m_projError.clear();
    m_geo = TGeoTransform::create(definition, &m_projError);
    return m_geo != nullptr;
}

bool TMapScene::loadMapImage(const QString &path) {
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    QImage image = reader.read();
    if (image.isNull()) return false;
    m_mapImage = std::move(image);
    return true;
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
    addPixmap(QPixmap::fromImage(m_mapImage));
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
    m_track->append(point, styleFor(point.value));
    if (m_trackItem) {
        m_trackItem->pointAppended();
    } else {
        m_trackItem = new TTrackItem(m_track, m_track->size() - 1);
        addItem(m_trackItem);
    }
}

void TMapScene::clearTrack() {
    // The drawn discs stay on screen until the next rebuild; only the track itself is emptied.
    m_track = std::make_shared<TTrackStore>();
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
