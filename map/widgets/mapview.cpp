#include "mapview.h"

#include "format.h"
#include "maplegend.h"
#include "maplog.h"

#include <QCoreApplication>
#include <QErrorMessage>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTouchEvent>
#include <QWheelEvent>
#include <cmath>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

// Between the view and the threads that load for it.
struct TMapView::Loads {
    std::mutex mutex;
    TMapView *view = nullptr;         // guarded by mutex: null once the view is gone
    quint64 latest = 0;               // guarded by mutex: the load whose result is wanted
    std::optional<TMapFiles> result;  // guarded by mutex: the latest load's, not yet applied
};

TMapView::TMapView(QWidget *parent) : QGraphicsView(parent), m_loads(std::make_shared<Loads>()) {
    m_loads->view = this;
    if (!scene.wgs84Error().isEmpty())
        reportError(tr("LatLong projection error:") + scene.wgs84Error());
    setScene(&scene);
    scene.setStickyFocus(true);
    setMouseTracking(true);
    setViewportUpdateMode(FullViewportUpdate);
    setTransformationAnchor(AnchorUnderMouse);
    setResizeAnchor(AnchorViewCenter);
    setRenderHints(QPainter::SmoothPixmapTransform);
    setDragMode(NoDrag);
    viewport()->setAttribute(Qt::WA_AcceptTouchEvents);
}

TMapView::~TMapView() {
    {
        const std::lock_guard lock(m_loads->mutex);
        m_loads->view = nullptr;
    }
    setScene(nullptr);
}

void TMapView::reportError(const QString &message) {
    // The box goes when closed; the log keeps which file failed and why.
    qCWarning(lcMap).noquote() << QString(message).replace(QLatin1Char('\n'), QLatin1String(" | "));
    showError(message);
}

void TMapView::showError(const QString &message) {
    QErrorMessage dialog;
    dialog.showMessage(message);
    dialog.exec();
}

void TMapView::loadAll(const QString &imagePath) {
    // No map is chosen until the user picks one in Settings: nothing failed, so nothing to report.
    m_noMapChosen = imagePath.trimmed().isEmpty();
    m_loading = !m_noMapChosen;
    viewport()->update();
    quint64 number;
    {
        const std::lock_guard lock(m_loads->mutex);
        number = ++m_loads->latest;
        m_loads->result.reset();
    }
    if (m_noMapChosen) {
        scene.setMapImage(QImage());
        emit mapLoaded();
        return;
    }
    // Detached: a file that stalls its reader (a hung network folder) must not hold up closing.
    // The thread owns all it touches; a superseded load's result is dropped.
    try {
        std::thread([loads = m_loads, number, imagePath] {
            TMapFiles files = TMapFiles::read(imagePath);
            const std::lock_guard lock(loads->mutex);
            if (number != loads->latest || !loads->view) return;
            loads->result = std::move(files);
            QMetaObject::invokeMethod(loads->view, &TMapView::applyLoad, Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error &error) {
        m_loading = false;
        reportError(tr("Could not load raster image file!\n") +
                    tr("%1: no thread to read it could be started (%2)")
                        .arg(imagePath, QString::fromLocal8Bit(error.what())));
        emit mapLoaded();
    }
}

void TMapView::applyLoad() {
    std::optional<TMapFiles> files;
    {
        const std::lock_guard lock(m_loads->mutex);
        files = std::exchange(m_loads->result, std::nullopt);
    }
    if (!files) return;  // superseded after it was posted
    m_loading = false;
    viewport()->update();
    loadImage(*files);
    loadCalibration(*files);
    loadProjection(*files);
    // The track is kept in WGS84: it goes onto the new map wherever that map puts it.
    scene.placeTrack();
    emit mapLoaded();
}

void TMapView::loadImage(const TMapFiles &files) {
    if (scene.useMapImage(files.raster, files.rasterError)) return;
    scene.setMapImage(QImage());
    reportError(tr("Could not load raster image file!\n") +
                failureOf(files.imagePath, files.imageExists, scene.rasterError()));
}

QString TMapView::failureOf(const QString &path, bool exists, const QString &rejection) const {
    if (!exists) return tr("%1: not found").arg(path);
    return tr("%1: %2").arg(path, rejection);
}

// The companion files win over what the raster carries itself: the operator wrote them on purpose,
// often to correct a GeoTIFF's own georeferencing.
void TMapView::loadCalibration(const TMapFiles &files) {
    QStringList failures;
    for (const TMapFiles::Companion &file : files.calibration) {
        if (file.text && scene.loadCalText(*file.text)) return;
        failures << failureOf(file.path, file.exists, file.text ? scene.calError() : file.error);
    }
    if (scene.useRasterPlacement()) return;
    if (!scene.calError().isEmpty()) failures << failureOf(files.imagePath, true, scene.calError());
    reportError(tr("Could not load calibration file!\n") + failures.join(QLatin1Char('\n')));
}

void TMapView::loadProjection(const TMapFiles &files) {
    QStringList failures;
    for (const TMapFiles::Companion &file : files.projection) {
        if (file.text && scene.loadProjText(*file.text)) return;
        // A GIS tool's .prj is looked for too, but mostly there is none: only its refusal is news.
        if (!file.path.endsWith(QLatin1String(".prj")) || file.exists)
            failures << failureOf(file.path, file.exists,
                                  file.text ? scene.projError() : file.error);
    }
    if (scene.useRasterProjection()) return;
    if (!scene.projError().isEmpty())
        failures << failureOf(files.imagePath, true, scene.projError());
    reportError(tr("Could not load projection definition file!\n") +
                failures.join(QLatin1Char('\n')));
}

void TMapView::centerScreen() {
    setTransformationAnchor(AnchorViewCenter);
    setTransform(QTransform::fromScale(scaleFactor, scaleFactor));
    double x, y;
    convToProj(lastLat, lastLon, &x, &y);
    // A last point PROJ could not place keeps the view where it was.
    if (std::isfinite(x) && std::isfinite(y)) centerPoint = QPointF(x, y);
    centerOn(centerPoint);
}

void TMapView::addTrackPoint(double latitude, double longitude, double altitude, double value) {
    addTrackPoint(latitude, longitude, altitude, value, valueUnit(), QDateTime(), 0);
}

void TMapView::addTrackPoint(double latitude, double longitude, double altitude, double value,
                             int unit, const QDateTime &time, int devNum) {
    if (unit == kCountRate)
        addTrackPoint(latitude, longitude, altitude, NAN, kNoUnit, value, time, devNum);
    else
        addTrackPoint(latitude, longitude, altitude, value, unit, NAN, time, devNum);
}

void TMapView::addTrackPoint(double latitude, double longitude, double altitude, double doseRate,
                             int unit, double countRate, const QDateTime &time, int devNum) {
    TTrackPoint point{latitude, longitude, altitude, doseRate};
    point.unit = unit;
    point.countRate = countRate;
    point.time = time.isValid() ? time.toMSecsSinceEpoch() : TTrackPoint::kNoTime;
    point.device = devNum;
    scene.addTrackPoint(point);
    centerOn(centerPoint);
    lastLat = latitude;
    lastLon = longitude;
    // Dose-unit codes are 0..3; the legend takes the unit of the newest dose rate.
    const int doseUnit = readingUnit(unit);
    if (!std::isnan(doseRate) && doseUnit >= 0 && doseUnit != m_doseUnit) {
        m_doseUnit = doseUnit;
        viewport()->update();
    }
}

void TMapView::setValueUnit(int unit) {
    unit = readingUnit(unit);
    if (unit != kCountRate) m_doseUnit = unit;
    scene.setColourByCountRate(unit == kCountRate);
    viewport()->update();
}

int TMapView::valueUnit() const {
    return scene.coloursByCountRate() ? kCountRate : m_doseUnit;
}

void TMapView::clearTrack() {
    scene.clearTrack();
    dragEnable = true;
    selected = 0;
    selectedPoint = TTrackPoint();
    scalePoint1Set = scalePoint2Set = false;
}

void TMapView::setColor(QList<double> thresholds, QList<QColor> colors) {
    scene.setColor(thresholds, colors);
    viewport()->update();  // the legend shows them at once; the discs follow createScene
}

void TMapView::gpsSetCoords(int marker, double latitude, double longitude) {
    if (marker == gpsMarker && latitude == gpsLat && longitude == gpsLon) return;
    gpsMarker = marker;
    gpsLat = latitude;
    gpsLon = longitude;
    scene.update();
}

void TMapView::setMarker(int key, double latitude, double longitude, const QColor &colour) {
    m_markers.insert(key, {latitude, longitude, colour});
    viewport()->update();
}

void TMapView::removeMarker(int key) {
    if (m_markers.remove(key)) viewport()->update();
}

void TMapView::scaleSetPoint1(double latitude, double longitude) {
    scalePoint1Lat = latitude;
    scalePoint1Lon = longitude;
    scalePoint1Set = true;
    scene.update();
}

void TMapView::scaleSetPoint2(double latitude, double longitude) {
    scalePoint2Lat = latitude;
    scalePoint2Lon = longitude;
    scalePoint2Set = true;
    scene.update();
}

void TMapView::scaleClear() {
    scalePoint1Set = scalePoint2Set = false;
}

double TMapView::scaleGetDistance() const {
    if (!scalePoint1Set || !scalePoint2Set) return 0.0;
    return geodesicInverse(scalePoint1Lat, scalePoint1Lon, scalePoint2Lat, scalePoint2Lon).distance;
}

double TMapView::scaleGetAzimuth() const {
    if (!scalePoint1Set || !scalePoint2Set) return 0.0;
    return geodesicInverse(scalePoint1Lat, scalePoint1Lon, scalePoint2Lat, scalePoint2Lon).azimuth;
}

void TMapView::applyScale(double factor) {
    setTransform(QTransform::fromScale(factor, factor));
}

void TMapView::wheelEvent(QWheelEvent *event) {
    setTransformationAnchor(AnchorUnderMouse);
    const double step = event->modifiers() & Qt::ControlModifier ? fineZoomStep : zoomStep;
    if (event->angleDelta().y() > 0)
        scaleFactor *= step;
    else
        scaleFactor /= step;
    if (scaleFactor < minScale) scaleFactor = minScale;
    applyScale(scaleFactor);
    event->accept();
}

bool TMapView::viewportEvent(QEvent *event) {
    setTransformationAnchor(AnchorViewCenter);
    switch (event->type()) {
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            pinch(static_cast<QTouchEvent *>(event));
            return true;
        case QEvent::TouchCancel:
            pinchStartDistance = 0;
            applyScale(scaleFactor);
            return true;
        default:
            return QGraphicsView::viewportEvent(event);
    }
}

void TMapView::pinch(QTouchEvent *event) {
    const QList<QEventPoint> &points = event->points();
    if (points.size() != 2) {
        pinchStartDistance = 0;
        return;
    }
    const double distance = QLineF(points[0].position(), points[1].position()).length();
    // Measured from the moment both fingers are down, so a first finger that moved alone does
    // not make the zoom jump.
    if (pinchStartDistance <= 0) pinchStartDistance = distance;
    if (pinchStartDistance <= 0) return;
    const float factor =
        std::max(float(distance / pinchStartDistance) * float(scaleFactor), minScale);
    applyScale(factor);
    if (event->touchPointStates() & QEventPoint::Released) {
        scaleFactor = factor;
        pinchStartDistance = 0;
    }
}

void TMapView::resizeEvent(QResizeEvent *event) {
    const QSize old = event->oldSize();
    if (old.width() < 0 || old.height() < 0) {
        QGraphicsView::resizeEvent(event);
        return;
    }
    // The part of the scene that was visible, as far as it lies on the map.
    QPointF topLeft = mapToScene(QPoint(0, 0));
    QPointF bottomRight = mapToScene(QPoint(old.width(), old.height()));
    const QRectF bounds = sceneRect();
    topLeft = QPointF(std::max(topLeft.x(), bounds.left()), std::max(topLeft.y(), bounds.top()));
    bottomRight = QPointF(std::min(bottomRight.x(), bounds.right()),
                          std::min(bottomRight.y(), bounds.bottom()));
    QGraphicsView::resizeEvent(event);
    applyScale(scaleFactor);
    centerOn(QRectF(topLeft, bottomRight).center());
    event->accept();
}

void TMapView::mousePressEvent(QMouseEvent *event) {
    const QPoint at(int(event->position().x()), int(event->position().y()));
    const QPointF s = mapToScene(at);
    if (event->button() == Qt::LeftButton) {
        if (dragEnable) setDragMode(ScrollHandDrag);
        double latitude, longitude;
        const bool located = convToWorld(s.x(), s.y(), &latitude, &longitude);
        if (selNearest) {
            // A click beside every point selects none: the last selection does not linger.
            const int index = scene.pick(s.x(), s.y());
            if (selected || index >= 0) scene.update();
            selected = index >= 0;
            selectedPoint = selected ? scene.trackPoint(index) : TTrackPoint();
            emit pointSelect(selectedPoint.latitude, selectedPoint.longitude,
                             selectedPoint.altitude,
                             selected ? shownReading(selectedPoint).first : 0.0, selected);
        } else if (located || !scene.hasProjection()) {
            // Outside the projection's domain there is no position to report.
            emit pointSelect(latitude, longitude, 0.0, 0.0, 0);
        }
    }
    QGraphicsView::mousePressEvent(event);
}

void TMapView::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) setDragMode(NoDrag);
    QGraphicsView::mouseReleaseEvent(event);
}

void TMapView::mouseMoveEvent(QMouseEvent *event) {
    QGraphicsView::mouseMoveEvent(event);
}

void TMapView::drawForeground(QPainter *painter, const QRectF &rect) {
    painter->save();
    QPen pen;
    pen.setCosmetic(true);
    const auto stroke = [&](const auto &draw, const QColor &inner) {
        pen.setColor(QColor(120, 120, 120));
        pen.setWidth(5);
        painter->setPen(pen);
        draw();
        pen.setColor(inner);
        pen.setWidth(3);
        painter->setPen(pen);
        draw();
    };
    const auto sceneOf = [this](double latitude, double longitude, QPointF *at) {
        double x, y;
        convToProj(latitude, longitude, &x, &y);
        *at = QPointF(x, y);
        return std::isfinite(x) && std::isfinite(y);
    };
    const auto cross = [&](double latitude, double longitude, double arm, const QColor &inner) {
        QPointF at;
        if (!sceneOf(latitude, longitude, &at)) return;
        const double x = at.x(), y = at.y();
        const QLineF lines[] = {
            QLineF(std::trunc(x - arm), std::trunc(y), std::trunc(x + arm), std::trunc(y)),
            QLineF(std::trunc(x), std::trunc(y - arm), std::trunc(x), std::trunc(y + arm))};
        stroke([&] { painter->drawLines(lines, 2); }, inner);
    };

    QPointF p1, p2;
    if (scalePoint1Set && scalePoint2Set && sceneOf(scalePoint1Lat, scalePoint1Lon, &p1) &&
        sceneOf(scalePoint2Lat, scalePoint2Lon, &p2)) {
        painter->setRenderHint(QPainter::Antialiasing, true);
        stroke([&] { painter->drawLine(p1, p2); }, QColor(255, 0, 0));
    }
    if (scalePoint1Set) cross(scalePoint1Lat, scalePoint1Lon, 20, QColor(220, 0, 0));
    if (scalePoint2Set) cross(scalePoint2Lat, scalePoint2Lon, 20, QColor(220, 0, 0));
    if (selected) cross(selectedPoint.latitude, selectedPoint.longitude, 20, QColor(240, 220, 20));
    if (gpsMarker) cross(gpsLat, gpsLon, 10, QColor(0, 240, 220));
    painter->restore();
    QGraphicsView::drawForeground(painter, rect);
    paintOverlays(painter);
}

namespace {
constexpr int kMargin = 8;  // viewport pixels between a panel and the edge or its point
constexpr int kMarkerRadius = 12;

TOverlayPanel panelOf(const QStringList &lines) {
    TOverlayPanel panel;
    for (const QString &line : lines)
        panel.addLine(line);
    return panel;
}
}  // namespace

QStringList TMapView::legendText() const {
    const TOverlayPanel legend = TMapLegend::build(scene.thresholds(), scene.colors(), valueUnit());
    QStringList text;
    for (const TOverlayPanel::Line &line : legend.lines())
        text << line.text;
    return text;
}

QRect TMapView::legendRect() const {
    const TOverlayPanel legend = TMapLegend::build(scene.thresholds(), scene.colors(), valueUnit());
    if (legend.isEmpty()) return {};
    return QRect(QPoint(kMargin, kMargin), legend.size(fontMetrics()));
}

std::pair<double, int> TMapView::shownReading(const TTrackPoint &point) const {
    const std::pair<double, int> dose{point.value, point.unit}, count{point.countRate, kCountRate};
    const bool byCount = scene.coloursByCountRate();
    const std::pair<double, int> &chosen = byCount ? count : dose, &other = byCount ? dose : count;
    return std::isnan(chosen.first) && !std::isnan(other.first) ? other : chosen;
}

QStringList TMapView::selectedPointText() const {
    if (!selected) return {};
    const auto [value, unit] = shownReading(selectedPoint);
    QStringList text{formatReading(value, unit)};
    if (selectedPoint.time != TTrackPoint::kNoTime)
        text << QDateTime::fromMSecsSinceEpoch(selectedPoint.time)
                    .toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
    if (selectedPoint.device != 0) text << tr("Device %1").arg(selectedPoint.device);
    return text;
}

QString TMapView::mapHint() const {
    if (m_noMapChosen) return tr("No map chosen: choose a map image in Settings.");
    return m_loading ? tr("Loading the map...") : QString();
}

void TMapView::paintOverlays(QPainter *painter) {
    // In viewport pixels: the panels keep their size whatever the zoom.
    painter->save();
    painter->resetTransform();
    painter->setFont(font());
    const QRect area = viewport()->rect();

    QPointF at;
    if (selected &&
        convToProj(selectedPoint.latitude, selectedPoint.longitude, &at.rx(), &at.ry())) {
        const TOverlayPanel callout = panelOf(selectedPointText());
        QRect box(mapFromScene(at) + QPoint(kMargin, kMargin), callout.size(fontMetrics()));
        // Kept inside the viewport, so a point near the edge still shows its reading.
        box.moveRight(std::min(box.right(), area.right()));
        box.moveBottom(std::min(box.bottom(), area.bottom()));
        callout.paint(painter, box);
    }
    for (const Marker &m : std::as_const(m_markers)) {
        if (!convToProj(m.latitude, m.longitude, &at.rx(), &at.ry())) continue;
        painter->setPen(QPen(m.colour, 3));
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(mapFromScene(at), kMarkerRadius, kMarkerRadius);
    }
    const QRect legendBox = legendRect();
    if (!legendBox.isEmpty())
        TMapLegend::build(scene.thresholds(), scene.colors(), valueUnit())
            .paint(painter, legendBox);
    if (!mapHint().isEmpty()) {
        const TOverlayPanel hint = panelOf({mapHint()});
        QRect box(QPoint(), hint.size(fontMetrics()));
        box.moveCenter(area.center());
        hint.paint(painter, box);
    }
    painter->restore();
}
