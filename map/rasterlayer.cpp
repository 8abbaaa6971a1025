#include "rasterlayer.h"

#include "maplog.h"

#include <QPainter>
#include <QThread>
#include <algorithm>
#include <cmath>

namespace {
// Without overviews in the file a tile of level l reads 4^l times its own pixels; level 3 reads a
// 2048-pixel square, about what a tile may cost. Coarser views show the overview image, at most
// twice enlarged, until the user zooms in.
constexpr int kTopLevelWithoutOverviews = 3;
constexpr int kPollMs = 15;  // about a frame

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

namespace {
constexpr quint64 kOverviewKey = ~quint64(0);
constexpr quint64 kBuildKey = ~quint64(1);
// Building reads every pixel; reading the overview image from what was built is quick.
constexpr int kBuildShare = 90;
}  // namespace

TRasterLayer::TRasterLayer(std::shared_ptr<const TRasterSource> source, qint64 cacheBytes,
                           QObject *parent)
    : QObject(parent), m_source(std::move(source)), m_cache(cacheBytes) {
    const int side = std::max(size().width(), size().height());
    while (ceilShift(side, m_overviewLevel) > kOverviewSide)
        ++m_overviewLevel;
    m_topTileLevel = m_overviewLevel - 1;
    if (!m_source->hasOverviews() && !m_source->usesCachedOverviews())
        m_topTileLevel = std::min(m_topTileLevel, kTopLevelWithoutOverviews);
    // One thread reads the overview while the others serve the view's tiles.
    m_reads =
        std::make_unique<TRasterReadQueue>(m_source, std::clamp(QThread::idealThreadCount(), 2, 4));
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, &TRasterLayer::poll);
    startOverview();
}

TRasterLayer::~TRasterLayer() = default;

void TRasterLayer::poll() {
    const int percent = m_reads->progress();
    const int shown = m_progressFrom + percent * m_progressSpan / 100;
    if (m_overviewPending && shown != m_shownProgress && percent >= 0)
        emit progress(m_shownProgress = shown);
    for (const TRasterReadQueue::Result &result : m_reads->takeResults()) {
        if (result.key == kBuildKey)
            overviewsBuilt(result.error);
        else if (result.key == kOverviewKey)
            overviewLanded(result.image, result.error);
        else
            tileLanded(result);
    }
    if (!busy()) m_poll.stop();
}

void TRasterLayer::startOverview() {
    const QRect whole(QPoint(), size());
    const QSize scaled = scaledSize(whole, m_overviewLevel);
    if (m_overviewLevel == 0) {
        // A small raster is read whole at once: it is on screen when loading returns.
        QString error;
        overviewLanded(m_source->read(whole, scaled, &error), error);
        return;
    }
    // Reading a large raster without overviews in the file touches every pixel: in the
    // background, with progress, while the tiles of the view show as they land.
    m_overviewPending = true;
    m_poll.start();
    const int side = std::max(size().width(), size().height());
    if (m_source->hasOverviews() || m_source->usesCachedOverviews() ||
        side <= kCachedOverviewsAbove)
        return readOverview();
    m_progressSpan = kBuildShare;
    m_reads->submit({kBuildKey, whole, scaled, true, true});
}

void TRasterLayer::overviewsBuilt(const QString &error) {
    if (error.isEmpty()) {
        m_topTileLevel = m_overviewLevel - 1;
        m_progressFrom = kBuildShare;
        m_progressSpan = 100 - kBuildShare;
    } else {
        // Shown as before, slower at coarse levels: the overview image is read from the raster.
        qCWarning(lcMap).noquote() << tr("Overviews of the map not built: %1").arg(error);
        m_progressFrom = 0;
        m_progressSpan = 100;
    }
    readOverview();
}

void TRasterLayer::readOverview() {
    const QRect whole(QPoint(), size());
    m_reads->submit({kOverviewKey, whole, scaledSize(whole, m_overviewLevel), true});
}

void TRasterLayer::overviewLanded(const QImage &image, const QString &error) {
    const bool wasPending = m_overviewPending;
    m_overviewPending = false;
    m_overview = image;
    m_overviewError = image.isNull() ? error : QString();
    if (image.isNull() && wasPending)
        qCWarning(lcMap).noquote() << tr("Overview of the map not read: %1").arg(error);
    if (wasPending) {
        emit progress(100);
        emit areaReady(QRectF(QPointF(), size()));
    }
}

QString TRasterLayer::overviewError() const {
    return m_overviewError;
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
    m_pending.insert(key);
    const QRect window = tileRect(level, column, row);
    m_reads->submit({key, window, scaledSize(window, level), false});
    if (!m_poll.isActive()) m_poll.start();
}

void TRasterLayer::dropUnwanted(int level, const QRectF &visible) {
    const auto wanted = [&](quint64 key) {
        return levelOf(key) == level &&
               QRectF(tileRect(level, columnOf(key), rowOf(key))).intersects(visible);
    };
    m_pending.removeIf([&](quint64 key) { return !wanted(key); });
    m_reads->dropQueued(
        [&](quint64 key) { return key == kOverviewKey || key == kBuildKey || wanted(key); });
}

void TRasterLayer::tileLanded(const TRasterReadQueue::Result &result) {
    m_pending.remove(result.key);
    if (result.image.isNull()) {
        m_failed.insert(result.key);
        qCWarning(lcMap).noquote() << tr("Part of the map not read: %1").arg(result.error);
        return;
    }
    // A landed tile is kept even when no longer asked for: the view may come back to it.
    m_cache.insert(result.key, new QImage(result.image), result.image.sizeInBytes());
    emit areaReady(tileRect(levelOf(result.key), columnOf(result.key), rowOf(result.key)));
}
