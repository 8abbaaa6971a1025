#pragma once

#include "geo.h"
#include "trackpoint.h"
#include "worldfile.h"

#include <QColor>
#include <QGraphicsScene>
#include <QImage>
#include <QList>
#include <memory>
#include <optional>

class QGraphicsPixmapItem;
class TRasterItem;
class TRasterLayer;
class TRasterSource;
class TTrackItem;
class TTrackStore;

// What loading a map reads from its folder: the raster opened and the text of each world and
// projection file looked for, in the order they are looked for. Read on any thread, so that a slow
// or stalled folder never holds up the window, then applied to a scene on the GUI thread.
struct TMapFiles {
    struct Companion {
        QString path;
        bool exists = false;
        std::optional<QByteArray> text;  // none when it could not be read, with the reason
        QString error;
    };
    QString imagePath;  // absolute
    bool imageExists = false;
    std::shared_ptr<TRasterSource> raster;  // null when refused, with the reason
    QString rasterError;
    QList<Companion> calibration;  // world files
    QList<Companion> projection;   // projection definitions

    static TMapFiles read(const QString &imagePath);
};

// The map's scene: the raster in pixel coordinates, its georeference and the track drawn over it.
// Knows nothing of the widget that shows it, so loading, projecting, colouring and picking run
// without a window.
class TMapScene : public QGraphicsScene {
    Q_OBJECT

public:
    explicit TMapScene(QObject *parent = nullptr);
    ~TMapScene() override;

    // PROJ's refusal of the WGS84 definition, empty when it was accepted.
    QString wgs84Error() const { return m_wgs84Error; }
    // Why the last projection file was refused (PROJ's words, or of the file itself), empty
    // after a success.
    QString projError() const { return m_projError; }
    // Why the last world file was refused, empty after a success.
    QString calError() const { return m_calError; }
    // Why the last raster was refused (GDAL's words, or of the file itself), empty after a
    // success.
    QString rasterError() const { return m_rasterError; }

    bool loadCalFile(const QString &path);
    bool loadCalText(const QByteArray &text);
    // A PROJ string on the first line (the rest is ignored), or a WKT definition over any number
    // of lines (".prj").
    bool loadProjFile(const QString &path);
    bool loadProjText(const QByteArray &text);
    // A raster of a map format (rastersource.h), of any size; it replaces the map only when it
    // opened.
    bool loadMapImage(const QString &path);
    // The opening half of loadMapImage, for any thread: null with the reason in `error`.
    static std::shared_ptr<TRasterSource> openMapImage(const QString &path, QString *error);
    // The other half: takes `source` as the map; null, or a raster that cannot be shown, is
    // refused with `error` or the reason.
    bool useMapImage(std::shared_ptr<TRasterSource> source, const QString &error);
    // Takes the placement, or the coordinate system, the raster carries itself (GeoTIFF tags, a
    // world file or .aux.xml GDAL found). False when it carries none, or, with the reason, when
    // what it carries is refused.
    bool useRasterPlacement();
    bool useRasterProjection();
    // An image held in memory as the map, in place of a raster file.
    void setMapImage(const QImage &image);
    const QImage &mapImage() const { return m_mapImage; }
    QSize mapSize() const;
    // The raster read through GDAL, null for an image in memory or no map.
    TRasterLayer *rasterLayer() const { return m_raster.get(); }
    bool hasProjection() const;

    // Geographic degrees to scene and back. Both outputs are 0 while no projection or no usable
    // world file is loaded; where PROJ cannot transform the point they are non-finite. True only
    // for a real position.
    bool convToProj(double latitude, double longitude, double *sceneX, double *sceneY) const;
    bool convToWorld(double sceneX, double sceneY, double *latitude, double *longitude) const;

    void createScene();
    // A point with a dose rate alone, in Gy.
    void addTrackPoint(double latitude, double longitude, double altitude, double value);
    // Places the point (its scene position is computed here) and appends it. A unit code or
    // device number out of range is kept as unknown: dose unit 0, device 0.
    void addTrackPoint(TTrackPoint point);
    // Places every point again from its WGS84 position, after the georeference changed; the
    // discs move with the next createScene.
    void placeTrack();
    void clearTrack();
    int getTrackLen() const;
    TTrackPoint trackPoint(int index) const;
    // Index of the point a click at the scene position selects, -1 when none.
    int pick(double sceneX, double sceneY) const;

    void setTrackR(double r) { m_trackR = r; }
    double trackR() const { return m_trackR; }
    void setColor(const QList<double> &thresholds, const QList<QColor> &colors);
    // Which reading colours and stacks the points: the count rate, or else the dose rate.
    // Switching recolours the whole track at once.
    void setColourByCountRate(bool countRate);
    bool coloursByCountRate() const { return m_byCountRate; }
    const QList<double> &thresholds() const { return m_thresholds; }
    const QList<QColor> &colors() const { return m_colors; }

signals:
    // Reading the overview of a large raster in the background: percent done, 100 at the end.
    void rasterProgress(int percent);

private:
    void dropRasterItem();

    quint16 styleFor(double value);

    QString m_wgs84Error;
    QString m_projError;
    QString m_calError;
    QString m_rasterError;
    std::unique_ptr<TGeoTransform> m_geo;
    TWorldFile m_world;
    QImage m_mapImage;
    std::unique_ptr<TRasterLayer> m_raster;
    TRasterItem *m_rasterItem = nullptr;  // draws m_raster; owned by the scene
    std::shared_ptr<TTrackStore> m_track;
    TTrackItem *m_trackItem = nullptr;  // draws m_track; owned by the scene
    double m_trackR = 0;
    QList<double> m_thresholds;
    QList<QColor> m_colors;
    bool m_byCountRate = false;
};
