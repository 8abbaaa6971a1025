#include "trackitem.h"

#include "trackstore.h"

#include <QPainter>
#include <QStyleOptionGraphicsItem>
#include <cmath>

namespace {
// Up to this many visible points every disc is drawn by the painter; beyond, pre-drawn discs are
// placed instead, which costs a little rounding at their edges.
constexpr size_t kExactUpTo = 2048;
constexpr double kDotBelow = 1.5;  // logical pixels of disc diameter
// Pre-drawn at every sub-pixel offset, a disc costs kPhases squared sprites a style: beyond this
// many pixels they would take megabytes, and larger discs are few in any view that is not crowded.
constexpr double kMaxSprite = 32;                   // canvas pixels of disc diameter
constexpr int kPhases = 16;                         // sub-pixel offsets per axis
constexpr qint64 kMaxPixelGrid = 16 * 1024 * 1024;  // tiles: larger exposures are not culled
constexpr double kCullFrom = 4;                     // device pixels of disc diameter
constexpr int kMaxTile = 8;                         // device pixels a side of a coverage tile
constexpr double kCullDepth = 16;  // discs over an average pixel, about: fewer hide few
constexpr int kMaxLayers = 8;      // more needed to hide a disc: no culling

// Discs stacked above one another each let (255 - alpha) / 255 of what lies below through. Under
// this many, a disc changes no pixel by as much as one level; 0 when no number of them would do.
int layersToHide(const TTrackStore &store, const std::vector<quint32> &visible) {
    int alpha = 255;
    for (quint32 i : visible)
        alpha = std::min(alpha, store.style(store.styleOf(i)).colour.alpha());
    double through = 1;
    for (int layers = 1; layers <= kMaxLayers; ++layers) {
        through *= (255 - alpha) / 255.0;
        if (through * 255 < 1) return layers;
    }
    return 0;
}
}  // namespace

TTrackItem::TTrackItem(std::shared_ptr<const TTrackStore> store, quint32 first)
    : m_store(std::move(store)), m_first(first), m_seen(first) {
    setFlag(ItemUsesExtendedStyleOption);
    // Above the map at z 0 whatever the readings: a negative reading must not hide under it.
    setZValue(1);
    for (; m_seen < m_store->size(); ++m_seen)
        if (m_store->isDrawable(m_seen)) m_bounds |= discRect(m_seen);
}

QRectF TTrackItem::discRect(quint32 index) const {
    const double d = m_store->style(m_store->styleOf(index)).diameter;
    // The pen (width 1, not cosmetic) reaches half a unit beyond the disc.
    return QRectF(m_store->x(index) - 0.5 * d - 0.5, m_store->y(index) - 0.5 * d - 0.5, d + 1,
                  d + 1);
}

void TTrackItem::pointAppended() {
    QRectF dirty;
    for (; m_seen < m_store->size(); ++m_seen)
        if (m_store->isDrawable(m_seen)) dirty |= discRect(m_seen);
    if (dirty.isNull()) return;
    if (!m_bounds.contains(dirty)) {
        prepareGeometryChange();
        m_bounds |= dirty;
    }
    update(dirty);
}

void TTrackItem::paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *) {
    const QRectF exposed = option->exposedRect.intersected(m_bounds);
    if (exposed.isEmpty()) return;
    const double reach = 0.5 * m_store->maxDiameter() + 0.5;
    const QRectF area = exposed.adjusted(-reach, -reach, reach, reach);

    m_visible.clear();
    m_store->query(area, m_first, [this](quint32 i) { m_visible.push_back(i); });
    if (m_visible.empty()) return;

    // On a high-density screen the world transform is in logical pixels; the device has `ratio`
    // times as many along each axis. Pre-drawn discs go in device pixels so they stay sharp; discs
    // under a logical pixel and a half go in logical pixels, so a track looks as dense whatever
    // the screen.
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
    const QTransform toLogical = painter->worldTransform();
    const double scale = std::sqrt(std::abs(toLogical.determinant()));
    const qreal canvasRatio = m_store->maxDiameter() * scale < kDotBelow ? 1.0 : ratio;
    const QTransform toCanvas = toLogical * QTransform::fromScale(canvasRatio, canvasRatio);
    // Crowded large discs hide one another many times over: the hidden ones are left out first,
    // in device pixels, where the rasteriser decides what covers what. The clip keeps what lies
    // outside the exposed area, which the culling does not look at, off the screen.
    const bool scaleOnly = toLogical.type() <= QTransform::TxScale;
    const double deviceDiameter = m_store->maxDiameter() * scale * ratio;
    const QSizeF exposedSize = toLogical.mapRect(exposed).size() * ratio;
    const double depth = double(m_visible.size()) * deviceDiameter * deviceDiameter /
                         std::max(1.0, exposedSize.width() * exposedSize.height());
    const bool cull = scaleOnly && deviceDiameter >= kCullFrom && depth >= kCullDepth;
    if (cull) {
        painter->save();
        painter->setClipRect(exposed, Qt::IntersectClip);
        sortByStacking();
        cullHidden(toLogical * QTransform::fromScale(ratio, ratio), exposed, deviceDiameter);
    }
    // Without a rotation the mapping is a scale and a shift per axis, as the sprites need; a
    // rotated view falls back to the exact drawing.
    if (m_visible.size() > kExactUpTo && scaleOnly &&
        m_store->maxDiameter() * scale * canvasRatio <= kMaxSprite) {
        paintSprites(painter, toCanvas, canvasRatio, exposed);
    } else {
        if (!cull) sortByStacking();
        paintDiscs(painter);
    }
    if (cull) painter->restore();
}

void TTrackItem::cullHidden(const QTransform &toDevice, const QRectF &exposed,
                            double deviceDiameter) {
    const int layers = layersToHide(*m_store, m_visible);
    // A quarter of a disc: fine enough that a disc covers some tiles whole, coarse enough to be
    // quick about the small ones.
    m_tile = int(std::clamp(deviceDiameter / 4, 1.0, double(kMaxTile)));  // any zoom is allowed
    const QRect area = toDevice.mapRect(exposed).toAlignedRect();
    const int columns = (area.width() + m_tile - 1) / m_tile;
    const int rows = (area.height() + m_tile - 1) / m_tile;
    if (layers == 0 || qint64(columns) * rows > kMaxPixelGrid) return;
    // For every tile of the exposed area: how many discs kept so far cover it whole, up to
    // `layers`. Going from the top down, a disc is hidden when every tile it touches is full.
    m_coverage.assign(size_t(columns) * size_t(rows), 0);
    const double sx = std::abs(toDevice.m11()), sy = std::abs(toDevice.m22());
    size_t kept = m_visible.size();
    for (size_t k = m_keys.size(); k-- > 0;) {
        const Key &key = m_keys[k];
        const double cx = toDevice.m11() * key.x + toDevice.dx() - area.left();
        const double cy = toDevice.m22() * key.y + toDevice.dy() - area.top();
        const double d = m_store->style(key.style).diameter;
        // The pen reaches half a unit beyond the disc; a pixel either way for the rasteriser.
        const double outer = (0.5 * d + 0.5) * std::max(sx, sy) + 1;
        const double inner = 0.5 * d * std::min(sx, sy) - 1;
        if (isCovered(cx, cy, outer, columns, rows, layers)) continue;
        cover(cx, cy, inner, columns, rows, layers);
        m_visible[--kept] = key.index;
    }
    m_visible.erase(m_visible.begin(), m_visible.begin() + std::ptrdiff_t(kept));
}

namespace {
// The tile holding position v along an axis, clamped to -1..limit (any zoom is allowed, so v
// can lie far outside the grid).
int tileOf(double v, int tile, int limit) {
    return int(std::clamp(std::floor(v / tile), -1.0, double(limit)));
}
}  // namespace

bool TTrackItem::isCovered(double cx, double cy, double r, int columns, int rows,
                           int layers) const {
    // Row by row, the run of tiles the circle reaches (a tile more at the ends does no harm).
    const int y0 = std::max(0, tileOf(cy - r, m_tile, rows));
    const int y1 = std::min(rows - 1, tileOf(cy + r, m_tile, rows));
    for (int ty = y0; ty <= y1; ++ty) {
        const double gy = std::max({0.0, ty * m_tile - cy, cy - (ty + 1) * m_tile});
        if (gy >= r) continue;
        const double w = std::sqrt(r * r - gy * gy);
        const int x0 = std::max(0, tileOf(cx - w, m_tile, columns));
        const int x1 = std::min(columns - 1, tileOf(cx + w, m_tile, columns));
        const quint8 *row = m_coverage.data() + size_t(ty) * size_t(columns);
        for (int tx = x0; tx <= x1; ++tx)
            if (row[tx] < layers) return false;
    }
    return true;
}

void TTrackItem::cover(double cx, double cy, double r, int columns, int rows, int layers) {
    if (r <= 0) return;
    // Row by row, the run of tiles lying wholly inside the circle.
    const int y0 = std::max(0, tileOf(cy - r, m_tile, rows));
    const int y1 = std::min(rows - 1, tileOf(cy + r, m_tile, rows));
    for (int ty = y0; ty <= y1; ++ty) {
        const double gy = std::max(std::abs(cy - ty * m_tile), std::abs(cy - (ty + 1) * m_tile));
        if (gy > r) continue;
        const double w = std::sqrt(r * r - gy * gy);
        const int x0 = std::max(0, tileOf(std::ceil((cx - w) / m_tile) * m_tile, m_tile, columns));
        const int x1 = std::min(columns - 1, tileOf(cx + w, m_tile, columns) - 1);
        quint8 *row = m_coverage.data() + size_t(ty) * size_t(columns);
        for (int tx = x0; tx <= x1; ++tx)
            row[tx] += row[tx] < layers;
    }
}

void TTrackItem::paintDiscs(QPainter *painter) {
    int current = -1;
    for (quint32 i : m_visible) {
        const quint16 id = m_store->styleOf(i);
        const TTrackStore::Style &style = m_store->style(id);
        if (id != current) {
            painter->setPen(QPen(style.colour, 1));
            painter->setBrush(style.colour);
            current = id;
        }
        const double d = style.diameter;
        painter->drawEllipse(QRectF(m_store->x(i) - 0.5 * d, m_store->y(i) - 0.5 * d, d, d));
    }
}

namespace {
// Source-over of premultiplied ARGB32 pixels, as the raster engine computes it.
inline quint32 byteMul(quint32 x, quint32 a) {
    quint32 t = (x & 0xff00ff) * a;
    t = ((t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = (x + ((x >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return x | t;
}

}  // namespace

void TTrackItem::Sprite::blendOnto(quint32 *canvas, qsizetype stride, QSize canvasSize, int left,
                                   int top) const {
    const int y0 = std::max(0, -top), y1 = std::min(size, canvasSize.height() - top);
    for (int y = y0; y < y1; ++y) {
        // Only the disc's own span of the row, clipped to the canvas.
        const int x0 = std::max(spans[y].first, -left);
        const int x1 = std::min(spans[y].second, canvasSize.width() - left);
        const quint32 *src = pixels.data() + y * size;
        quint32 *dst = canvas + (top + y) * stride + left;
        for (int x = x0; x < x1; ++x)
            dst[x] = src[x] + byteMul(dst[x], 255 - (src[x] >> 24));
    }
}

void TTrackItem::paintSprites(QPainter *painter, const QTransform &toCanvas, qreal canvasRatio,
                              const QRectF &exposed) {
    const double scale = std::sqrt(std::abs(toCanvas.determinant()));
    // Stroking an ellipse per disc dominates a crowded repaint. Instead one pre-drawn disc per
    // style is placed on a transparent canvas, which then goes over the map in one operation.
    // Each disc is pre-drawn at kPhases sub-pixel offsets per axis, as the rasteriser would place
    // it: a disc below the topmost still shows its own slivers, and they must fall where they
    // would have.
    if (scale != m_spriteScale) {
        m_sprites.clear();
        m_spriteScale = scale;
    }
    const QRect area = toCanvas.mapRect(exposed).toAlignedRect();
    if (m_canvas.size() != area.size())
        m_canvas = QImage(area.size(), QImage::Format_ARGB32_Premultiplied);
    m_canvas.fill(Qt::transparent);
    const double sx = toCanvas.m11(), sy = toCanvas.m22();
    const double dx = toCanvas.dx() - area.left(), dy = toCanvas.dy() - area.top();
    // Integer pixel and sub-pixel offset of a centre along one axis.
    const auto place = [](double v) {
        const double base = std::floor(v);
        return std::pair{int(base), std::min(kPhases - 1, int((v - base) * kPhases))};
    };
    // Placed in the store's order, read once: after sorting, the records would be visited at
    // random, one cache miss each.
    m_placed.resize(m_visible.size());
    for (size_t k = 0; k < m_visible.size(); ++k) {
        const quint32 i = m_visible[k];
        const double v = m_store->value(i);
        const auto [left, phaseX] = place(sx * m_store->x(i) + dx);
        const auto [top, phaseY] = place(sy * m_store->y(i) + dy);
        m_placed[k] = {std::isnan(v) ? -HUGE_VAL : v, i,
                       spriteFor(m_store->styleOf(i), phaseX, phaseY), left, top};
    }
    // Bottom first, as TTrackStore::isAbove orders; after culling they already are.
    if (!std::is_sorted(m_placed.begin(), m_placed.end()))
        std::sort(m_placed.begin(), m_placed.end());
    quint32 *bits = reinterpret_cast<quint32 *>(m_canvas.bits());
    const qsizetype stride = m_canvas.bytesPerLine() / 4;
    for (const Placed &p : m_placed) {
        const Sprite &sprite = m_sprites[p.sprite];
        const int half = sprite.size / 2;
        sprite.blendOnto(bits, stride, m_canvas.size(), p.left - half, p.top - half);
    }
    painter->save();
    // Canvas pixels: the canvas goes onto the screen one to one.
    painter->setWorldTransform(QTransform::fromScale(1 / canvasRatio, 1 / canvasRatio));
    painter->drawImage(area.topLeft(), m_canvas);
    painter->restore();
}

quint32 TTrackItem::spriteFor(quint16 id, int phaseX, int phaseY) {
    const quint32 slot = (quint32(id) * kPhases + quint32(phaseY)) * kPhases + quint32(phaseX);
    if (slot >= m_sprites.size()) m_sprites.resize(slot + 1);
    Sprite &sprite = m_sprites[slot];
    if (sprite.size == 0) {
        const TTrackStore::Style &style = m_store->style(id);
        // Odd size with the pixel corner of the placement at the middle, room for the sub-pixel
        // offset and a pixel to spare around the pen, which reaches half a unit beyond the disc.
        const int half = int(std::ceil((style.diameter + 1) * m_spriteScale / 2)) + 1;
        const int size = 2 * half + 1;
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            p.translate(half + (phaseX + 0.5) / kPhases, half + (phaseY + 0.5) / kPhases);
            p.scale(m_spriteScale, m_spriteScale);
            p.setPen(QPen(style.colour, 1));
            p.setBrush(style.colour);
            const double d = style.diameter;
            p.drawEllipse(QRectF(-0.5 * d, -0.5 * d, d, d));
        }
        sprite.size = size;
        sprite.pixels.resize(size_t(size) * size_t(size));
        sprite.spans.assign(size_t(size), {0, 0});
        for (int y = 0; y < size; ++y) {
            const quint32 *row = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            std::copy(row, row + size, sprite.pixels.begin() + y * size);
            int first = 0, last = size;
            while (first < last && row[first] == 0)
                ++first;
            while (last > first && row[last - 1] == 0)
                --last;
            sprite.spans[size_t(y)] = {first, last};
        }
    }
    return slot;
}

void TTrackItem::sortByStacking() {
    // Keys pulled out once, with what the culling needs: going through the store's chunks in
    // stacking order would miss the cache at every point.
    m_keys.resize(m_visible.size());
    for (size_t k = 0; k < m_visible.size(); ++k) {
        const quint32 i = m_visible[k];
        const double v = m_store->value(i);
        m_keys[k] = {std::isnan(v) ? -HUGE_VAL : v, i, m_store->x(i), m_store->y(i),
                     m_store->styleOf(i)};
    }
    std::sort(m_keys.begin(), m_keys.end());
    for (size_t k = 0; k < m_keys.size(); ++k)
        m_visible[k] = m_keys[k].index;
}
