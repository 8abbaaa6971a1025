#pragma once

#include "mapscene.h"
#include "trackpoint.h"

#include <QDateTime>
#include <QGraphicsView>
#include <QMap>
#include <memory>
#include <utility>

// The map widget: shows a map scene, zooms by wheel and pinch, drags, draws the GPS marker, the
// selected point and the two measurement points over the map, and reports left clicks as
// geographic positions through pointSelect.
class QTouchEvent;

class TMapView : public QGraphicsView {
    Q_OBJECT

public:
    explicit TMapView(QWidget *parent = nullptr);
    ~TMapView() override;

    // Loads the map, its world file and its projection on a thread of its own and returns at
    // once; mapLoaded follows when they are applied and any failure shown. A newer load
    // supersedes one still running. An empty path, no map chosen, applies at once.
    void loadAll(const QString &imagePath);
    bool isLoading() const { return m_loading; }
    bool loadCalFile(const QString &path) { return scene.loadCalFile(path); }
    bool loadProjFile(const QString &path) { return scene.loadProjFile(path); }
    bool loadMapImage(const QString &path) { return scene.loadMapImage(path); }
    void createScene() { scene.createScene(); }
    void centerScreen();

    // A reading in valueUnit().
    void addTrackPoint(double latitude, double longitude, double altitude, double value);
    // A reading of device `devNum` (1..3) taken at `time`: its value is a dose rate in the unit
    // of dose-unit code `unit`, or a count rate when `unit` is kCountRate (format.h). An invalid
    // time is shown as none.
    void addTrackPoint(double latitude, double longitude, double altitude, double value, int unit,
                       const QDateTime &time, int devNum);
    // Both readings of one measurement: the dose rate in the unit of dose-unit code `unit` and the
    // count rate. A dose rate's unit is the legend's from then on.
    void addTrackPoint(double latitude, double longitude, double altitude, double doseRate,
                       int unit, double countRate, const QDateTime &time, int devNum);
    void clearTrack();
    int getTrackLen() const { return scene.getTrackLen(); }
    void setTrackR(double r) { scene.setTrackR(r); }
    void setColor(QList<double> thresholds, QList<QColor> colors);

    void setDragEnable(bool enable) { dragEnable = enable; }
    void setSelNearest(bool nearest) { selNearest = nearest; }
    void gpsSetCoords(int marker, double latitude, double longitude);
    // Rings over the map at given places, one per key: where an instrument's alarm went off, the
    // moment picked on a timeline.
    void setMarker(int key, double latitude, double longitude, const QColor &colour);
    void removeMarker(int key);
    bool hasMarker(int key) const { return m_markers.contains(key); }
    void scaleSetPoint1(double latitude, double longitude);
    void scaleSetPoint2(double latitude, double longitude);
    void scaleClear();
    bool hasMeasurement() const { return scalePoint1Set && scalePoint2Set; }
    // Geodesic distance in metres and forward azimuth in degrees from point 1 to point 2; 0.0
    // unless both points are set.
    double scaleGetDistance() const;
    double scaleGetAzimuth() const;

    bool convToProj(double latitude, double longitude, double *sceneX, double *sceneY) const {
        return scene.convToProj(latitude, longitude, sceneX, sceneY);
    }
    bool convToWorld(double sceneX, double sceneY, double *latitude, double *longitude) const {
        return scene.convToWorld(sceneX, sceneY, latitude, longitude);
    }

    // Which reading colours the track and is shown in the legend and beside the selected point,
    // and what a reading added without a unit is: kCountRate for the count rate, else the dose
    // rate, in dose-unit code `unit` (or kNoUnit) until a reading brings its own. Switching
    // between the two recolours every point.
    void setValueUnit(int unit);
    int valueUnit() const;
    // The unit of the newest dose rate, or the one set; kNoUnit when none is known.
    int doseUnit() const { return m_doseUnit; }

    // The legend's lines, top to bottom, and where it is drawn (viewport pixels; empty without
    // colours).
    QStringList legendText() const;
    QRect legendRect() const;
    // The selected point's reading with its unit, its time and its device, as shown beside it;
    // empty while no point is selected.
    QStringList selectedPointText() const;
    // The note drawn over the map area while no map is chosen or a map loads; empty otherwise.
    QString mapHint() const;

    TMapScene &mapScene() { return scene; }
    double zoom() const { return scaleFactor; }

signals:
    void mapLoaded();
    void pointSelect(double latitude, double longitude, double altitude, double dose_rate,
                     int found);

protected:
    // Shows one failure to the user; a modal error-message dialog.
    virtual void showError(const QString &message);

    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void drawForeground(QPainter *painter, const QRectF &rect) override;

private:
    // Logs one failure on one line, then shows it.
    void reportError(const QString &message);
    void applyScale(double factor);
    struct Loads;
    void applyLoad();
    void loadImage(const TMapFiles &files);
    void loadCalibration(const TMapFiles &files);
    void loadProjection(const TMapFiles &files);
    QString failureOf(const QString &path, bool exists, const QString &rejection) const;
    void paintOverlays(QPainter *painter);
    // The reading shown for a point and its unit: the one the track is coloured by, or the other
    // where the point lacks it.
    std::pair<double, int> shownReading(const TTrackPoint &point) const;
    void pinch(QTouchEvent *event);

    TMapScene scene;
    double scaleFactor = 1.0;
    const double zoomStep = 1.15;
    const double fineZoomStep = 1.01;
    const float minScale = 0.01f;
    int selected = 0;
    TTrackPoint selectedPoint;
    double gpsLat = 0, gpsLon = 0;
    int gpsMarker = 0;
    double lastLat = 0, lastLon = 0;
    QPointF centerPoint;
    bool dragEnable = true;
    bool selNearest = true;
    bool scalePoint1Set = false, scalePoint2Set = false;
    double scalePoint1Lat = 0, scalePoint1Lon = 0;
    double scalePoint2Lat = 0, scalePoint2Lon = 0;
    // Distance between the two fingers when the second one came down; 0 while no pinch runs.
    double pinchStartDistance = 0;
    // The panels' starting unit until a point or the main window says otherwise.
    int m_doseUnit = 0;
    bool m_noMapChosen = false;      // set by loadAll with an empty path, e.g. at the first start
    bool m_loading = false;          // a load runs whose result is still to be applied
    std::shared_ptr<Loads> m_loads;  // shared with the threads that load
    struct Marker {
        double latitude, longitude;
        QColor colour;
    };
    QMap<int, Marker> m_markers;
};
