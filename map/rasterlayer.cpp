#include "rasterlayer.h"

#include <QLoggingCategory>
#include <QPainter>
#include <QThread>
#include <algorithm>
#include <cmath>

Q_DECLARE_LOGGING_CATEGORY(lcMap)

namespace {
// Without overviews in the file a tile of level l reads 4^l times its own pixels; level 3 reads a
// 2048-pixel square, about what a tile may cost. Coarser views show the overview image, at most
// twice enlarged, until the user zooms in.
constexpr int kTopLevelWithoutOverviews = 3;

quint64 keyOf(int level, int column, int row) {
    return quint64(level) << 56 | quint64(row) << 28 | quint64(column);
}
int levelOf(quint64 key) {
    return int(key >> 56);
}
int rowOf(quint64 key) {
    return int((key >> 28) & 0xfffffff);
}
int columnOf(quint64 key) {
    return int(key & 0xfffffff);
}

int ceilShift(int value, int level) {
    return int((qint64(value) + (qint64(1) << level) - 1) >> level);
}
}  // namespace

TRasterLayer::TRasterLayer(std::shared_ptr<const TRasterSource> source, qint64 cacheBytes,
                           QObject *parent)
    : QObject(parent), m_source(std::move(source)), m_cache(cacheBytes) {
    // One thread reads the overview while the others serve the view's tiles.
    m_pool.setMaxThreadCount(std::max(2, QThread::idealThreadCount()));
    const int side = std::max(size().width(), size().height());
    while (ceilShift(side, m_overviewLevel) > kOverviewSide)
        ++m_overviewLevel;
    m_topTileLevel = m_overviewLevel - 1;
    if (!m_source->hasOverviews())
        m_topTileLevel = std::min(m_topTileLevel, kTopLevelWithoutOverviews);
    startOverview();
}

TRasterLayer::~TRasterLayer() {
    m_closing = true;
    for (const Request &request : std::as_const(m_pending))
        *request.cancelled = true;
    m_pool.clear();
    m_pool.waitForDone();
}

void TRasterLayer::startOverview() {
    const QRect whole(QPoint(), size());
    const QSize scaled = scaledSize(whole, m_overviewLevel);
    QString error;
    if (m_overviewLevel == 0) {
        // A small raster is read whole at once: it is on screen when loading returns.
        overviewLanded(m_source->read(whole, scaled, &error), error);
        return;
    }
    // Reading a large raster without overviews in the file touches every pixel: in the
    // background, with progress, while the tiles of the view show as they land.
    m_overviewPending = true;
    emit progress(0);
    m_pool.start([this, source = m_source, whole, scaled] {
        int shown = 0;
        QString error;
        const QImage image = source->read(whole, scaled, &error, [&](double done) {
            const int percent = std::clamp(int(done * 100), 0, 99);
            // Emitted from this thread; the connection queues it to the GUI thread.
            if (percent != shown) emit progress(shown = percent);
            return !m_closing;
        });
        QMetaObject::invokeMethod(
            this, [this, image, error] { overviewLanded(image, error); }, Qt::QueuedConnection);
    });
}

void TRasterLayer::overviewLanded(const QImage &image, const QString &error) {
    const bool wasPending = m_overviewPending;
    m_overviewPending = false;
    if (image.isNull())
        qCWarning(lcMap).noquote() << tr("Overview of the map not read: %1").arg(error);
    m_overview = image;
    if (wasPending) {
        emit progress(100);
        emit areaReady(QRectF(QPointF(), size()));
    }
}

QString TRasterLayer::overviewError() const {
    return m_overviewPending || !m_overview.isNull() ? QString() : tr("the raster cannot be read");
}

int TRasterLayer::levelFor(double lod) const {
    if (!(lod < 1)) return 0;
    const int level = int(std::floor(std::log2(1 / std::max(lod, 1e-9)) + 1e-9));
    return std::min(level, m_overviewLevel);
}

QRect TRasterLayer::tileRect(int level, int column, int row) const {
    const int span = kTileSize << level;
    return QRect(column * span, row * span, span, span) & QRect(QPoint(), size());
}

QSize TRasterLayer::scaledSize(const QRect &window, int level) {
    return QSize(ceilShift(window.width(), level), ceilShift(window.height(), level));
}

void TRasterLayer::paint(QPainter *painter, const QRectF &exposed, const QRectF &visible,
                         double lod) {
    const QRectF area = exposed & QRectF(QPointF(), size());
    if (area.isEmpty()) return;
    const int level = levelFor(lod);
    if (level > m_topTileLevel) {
        drawOverview(painter, area);
        return;
    }
    dropUnwanted(level, visible);
    const int span = kTileSize << level;
    const int lastColumn = int(std::ceil(area.right() / span)) - 1;
    const int lastRow = int(std::ceil(area.bottom() / span)) - 1;
    for (int row = int(area.top()) / span; row <= lastRow; ++row)
        for (int column = int(area.left()) / span; column <= lastColumn; ++column)
            drawTile(painter, level, column, row);
}

void TRasterLayer::drawTile(QPainter *painter, int level, int column, int row) {
    const QRect rect = tileRect(level, column, row);
    if (rect.isEmpty()) return;
    if (const QImage *tile = m_cache.object(keyOf(level, column, row))) {
        if (level == 0)
            painter->drawImage(rect.topLeft(), *tile);  // a plain copy at 1:1
        else
            painter->drawImage(QRectF(rect), *tile);
        return;
    }
    request(level, column, row);
    if (!drawCoarserTile(painter, level, column, row)) drawOverview(painter, rect);
}

bool TRasterLayer::drawCoarserTile(QPainter *painter, int level, int column, int row) {
    const QRectF rect = tileRect(level, column, row);
    for (int coarser = level + 1; coarser <= m_topTileLevel; ++coarser) {
        const int shift = coarser - level;
        const QImage *tile = m_cache.object(keyOf(coarser, column >> shift, row >> shift));
        if (!tile) continue;
        const QRectF parent = tileRect(coarser, column >> shift, row >> shift);
        const double scaleX = tile->width() / parent.width();
        const double scaleY = tile->height() / parent.height();
        const QRectF source((rect.x() - parent.x()) * scaleX, (rect.y() - parent.y()) * scaleY,
                            rect.width() * scaleX, rect.height() * scaleY);
        painter->drawImage(rect, *tile, source);
        return true;
    }
    return false;
}

void TRasterLayer::drawOverview(QPainter *painter, const QRectF &area) {
    if (m_overview.isNull()) return;  // the background shows until it lands
    const double scaleX = double(m_overview.width()) / size().width();
    const double scaleY = double(m_overview.height()) / size().height();
    painter->drawImage(area, m_overview,
                       QRectF(area.x() * scaleX, area.y() * scaleY, area.width() * scaleX,
                              area.height() * scaleY));
}

void TRasterLayer::request(int level, int column, int row) {
    const quint64 key = keyOf(level, column, row);
    if (m_pending.contains(key) || m_failed.contains(key)) return;
    const Request request{++m_nextId, std::make_shared<std::atomic_bool>(false)};
    m_pending.insert(key, request);
    const QRect window = tileRect(level, column, row);
    m_pool.start([this, source = m_source, key, id = request.id, cancelled = request.cancelled,
                  window, scaled = scaledSize(window, level)] {
        QImage image;
        QString error;
        if (!*cancelled) image = source->read(window, scaled, &error);
        QMetaObject::invokeMethod(
            this, [this, key, id, image, error] { tileLanded(key, id, image, error); },
            Qt::QueuedConnection);
    });
}

void TRasterLayer::dropUnwanted(int level, const QRectF &visible) {
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        const quint64 key = it.key();
        if (levelOf(key) == level &&
            QRectF(tileRect(level, columnOf(key), rowOf(key))).intersects(visible)) {
            ++it;
            continue;
        }
        *it->cancelled = true;
        it = m_pending.erase(it);
    }
}

void TRasterLayer::tileLanded(quint64 key, quint64 id, const QImage &image, const QString &error) {
    const auto it = m_pending.constFind(key);
    if (it != m_pending.cend() && it->id == id) m_pending.erase(it);
    if (image.isNull()) {
        if (error.isEmpty()) return;  // dropped before it was read
        m_failed.insert(key);
        qCWarning(lcMap).noquote() << tr("Part of the map not read: %1").arg(error);
        return;
    }
    // A landed tile is kept even when no longer asked for: the view may come back to it.
    m_cache.insert(key, new QImage(image), image.sizeInBytes());
    emit areaReady(tileRect(levelOf(key), columnOf(key), rowOf(key)));
}
