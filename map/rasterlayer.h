#pragma once

#include "rasterreadqueue.h"
#include "rastersource.h"

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <memory>

class QPainter;

// Draws a raster of any size a window at a time. The view's window is cut into tiles of
// kTileSize pixels at the level of detail of the zoom (level l: one tile pixel per 2^l raster
// pixels); tiles are read on a thread pool and kept in a least-recently-used cache bounded in
// bytes. Until a tile lands, the coarser tile or the overview image below it shows.
//
// Threading: everything but the reads lives on the GUI thread, which polls the read queue for
// results while any are outstanding. Polling, rather than a notice posted from a reader thread,
// keeps every hand-over under the queue's mutex, where ThreadSanitizer sees it; a tile waits
// at most one poll (about a frame) longer.
class TRasterLayer : public QObject {
    Q_OBJECT

public:
    static constexpr int kTileSize = 256;
    // About 500 tiles: many screens of a full-HD view at every level, a small part of 300 MB.
    static constexpr qint64 kDefaultCacheBytes = 128 * 1024 * 1024;
    // The overview image has at most this many pixels a side (16 MB at most).
    static constexpr int kOverviewSide = 2048;
    // A raster without overviews larger than this a side gets them built in the user's cache
    // (overviewcache.h) before its overview image is read: without them, tiles of a coarse level
    // would each read millions of pixels.
    static constexpr int kCachedOverviewsAbove = 2 * kOverviewSide;

    explicit TRasterLayer(std::shared_ptr<const TRasterSource> source,
                          qint64 cacheBytes = kDefaultCacheBytes, QObject *parent = nullptr);
    ~TRasterLayer() override;

    QSize size() const { return m_source->size(); }
    const TRasterSource &source() const { return *m_source; }

    // Draws the part `exposed` of the raster (scene coordinates) at `lod` device pixels per raster
    // pixel. `visible` is all the view shows: reads for tiles outside it are dropped.
    void paint(QPainter *painter, const QRectF &exposed, const QRectF &visible, double lod);

    qint64 cachedBytes() const { return m_cache.totalCost(); }
    qint64 cacheBudget() const { return m_cache.maxCost(); }
    // Why the overview could not be read; for a small raster, read whole when the layer is made,
    // that means the raster cannot be shown. Empty otherwise.
    QString overviewError() const;
    // True while tile reads, the overview build or the overview image are outstanding.
    bool busy() const { return !m_pending.isEmpty() || m_overviewPending; }

signals:
    // A tile or the overview landed; the scene repaints the area.
    void areaReady(const QRectF &sceneRect);
    // The overviews of a large raster are being built or its overview image read: percent done,
    // 100 when the image is ready.
    void progress(int percent);

private:
    int levelFor(double lod) const;
    QRect tileRect(int level, int column, int row) const;
    static QSize scaledSize(const QRect &window, int level);
    void drawTile(QPainter *painter, int level, int column, int row);
    bool drawCoarserTile(QPainter *painter, int level, int column, int row);
    void drawOverview(QPainter *painter, const QRectF &area);
    void request(int level, int column, int row);
    void dropUnwanted(int level, const QRectF &visible);
    void poll();
    void tileLanded(const TRasterReadQueue::Result &result);
    void startOverview();
    void readOverview();
    void overviewsBuilt(const QString &error);
    void overviewLanded(const QImage &image, const QString &error);

    std::shared_ptr<const TRasterSource> m_source;
    int m_overviewLevel = 0;  // the overview image has one pixel per 2^m_overviewLevel
    int m_topTileLevel = 0;   // coarser levels are drawn from the overview image
    QImage m_overview;
    QString m_overviewError;         // GDAL's reason when the overview could not be read
    bool m_overviewPending = false;  // built and read
    int m_shownProgress = -1;
    int m_progressFrom = 0, m_progressSpan = 100;  // the share of the whole the running job has
    QCache<quint64, QImage> m_cache;
    QSet<quint64> m_pending;  // tiles being read
    QSet<quint64> m_failed;   // tiles whose read failed are not asked for again
    QTimer m_poll;
    std::unique_ptr<TRasterReadQueue> m_reads;
};
