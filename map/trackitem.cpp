#include "trackitem.h"

#include "trackstore.h"

#include <QPainter>
#include <QStyleOptionGraphicsItem>
#include <cmath>

namespace {
// Below this many visible points every disc is drawn exactly; above it, per device pixel only the
// topmost one, since the discs it hides would differ from it by less than a pixel.
constexpr size_t kExactUpTo = 2048;
constexpr double kDotBelow = 1.5;                   // device pixels of disc diameter
constexpr double kMaxSprite = 64;                   // device pixels of disc diameter
constexpr qint64 kMaxPixelGrid = 16 * 1024 * 1024;  // larger exposures skip the per-pixel pass
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

    const QTransform toDevice = painter->worldTransform();
    const bool onePerPixel = m_visible.size() > kExactUpTo && keepTopmostPerPixel(toDevice, area);

    const double scale = std::sqrt(std::abs(toDevice.determinant()));
    if (m_store->maxDiameter() * scale < kDotBelow)
        paintDots(painter, toDevice, onePerPixel);
    else if (onePerPixel && !toDevice.isRotating() && m_store->maxDiameter() * scale <= kMaxSprite)
        paintSprites(painter, toDevice, scale);
    else
        paintDiscs(painter);
}

bool TTrackItem::keepTopmostPerPixel(const QTransform &toDevice, const QRectF &area) {
    const QRect grid = toDevice.mapRect(area).toAlignedRect().adjusted(-1, -1, 1, 1);
    if (qint64(grid.width()) * grid.height() > kMaxPixelGrid) return false;
    m_pixels.resize(size_t(grid.width()) * size_t(grid.height()));  // zero between paints

    const auto pixelOf = [&](quint32 i) {
        qreal px, py;
        toDevice.map(qreal(m_store->x(i)), qreal(m_store->y(i)), &px, &py);
        const int cx = std::clamp(int(std::floor(px)) - grid.left(), 0, grid.width() - 1);
        const int cy = std::clamp(int(std::floor(py)) - grid.top(), 0, grid.height() - 1);
        return size_t(cy) * size_t(grid.width()) + size_t(cx);
    };
    for (quint32 i : m_visible) {
        quint32 &winner = m_pixels[pixelOf(i)];
        if (winner == 0 || m_store->isAbove(i, winner - 1)) winner = i + 1;
    }
    size_t kept = 0;
    for (quint32 i : m_visible) {
        quint32 &winner = m_pixels[pixelOf(i)];
        if (winner == i + 1) m_visible[kept++] = i;
    }
    m_visible.resize(kept);
    for (quint32 i : m_visible)
        m_pixels[pixelOf(i)] = 0;
    return true;
}

void TTrackItem::paintDots(QPainter *painter, const QTransform &toDevice, bool onePerPixel) {
    // Each kept point owns its pixel, so the order between colours no longer matters and every
    // colour goes out in one batch; otherwise the stacking order decides.
    if (!onePerPixel)
        std::sort(m_visible.begin(), m_visible.end(),
                  [this](quint32 a, quint32 b) { return m_store->isAbove(b, a); });
    else
        std::stable_sort(m_visible.begin(), m_visible.end(), [this](quint32 a, quint32 b) {
            return m_store->styleOf(a) < m_store->styleOf(b);
        });

    painter->save();
    painter->resetTransform();
    std::vector<QPointF> batch;
    size_t start = 0;
    while (start < m_visible.size()) {
        const quint16 style = m_store->styleOf(m_visible[start]);
        size_t end = start;
        batch.clear();
        for (; end < m_visible.size() && m_store->styleOf(m_visible[end]) == style; ++end) {
            qreal px, py;
            toDevice.map(qreal(m_store->x(m_visible[end])), qreal(m_store->y(m_visible[end])), &px,
                         &py);
            batch.emplace_back(std::floor(px) + 0.5, std::floor(py) + 0.5);
        }
        painter->setPen(QPen(m_store->style(style).colour, 0));
        painter->drawPoints(batch.data(), int(batch.size()));
        start = end;
    }
    painter->restore();
}

void TTrackItem::paintDiscs(QPainter *painter) {
    std::sort(m_visible.begin(), m_visible.end(),
              [this](quint32 a, quint32 b) { return m_store->isAbove(b, a); });
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

void TTrackItem::paintSprites(QPainter *painter, const QTransform &toDevice, double scale) {
    // Stroking an ellipse per disc dominates a busy repaint; one pre-drawn disc per style, placed
    // to the nearest device pixel, looks the same at this density.
    if (scale != m_spriteScale) {
        m_sprites.clear();
        m_spriteScale = scale;
    }
    std::sort(m_visible.begin(), m_visible.end(),
              [this](quint32 a, quint32 b) { return m_store->isAbove(b, a); });
    painter->save();
    painter->resetTransform();
    for (quint32 i : m_visible) {
        const QImage &sprite = spriteFor(m_store->styleOf(i));
        qreal px, py;
        toDevice.map(qreal(m_store->x(i)), qreal(m_store->y(i)), &px, &py);
        const int half = sprite.width() / 2;
        painter->drawImage(QPoint(int(std::lround(px)) - half, int(std::lround(py)) - half),
                           sprite);
    }
    painter->restore();
}

const QImage &TTrackItem::spriteFor(quint16 id) {
    if (id >= m_sprites.size()) m_sprites.resize(size_t(id) + 1);
    QImage &sprite = m_sprites[id];
    if (sprite.isNull()) {
        const TTrackStore::Style &style = m_store->style(id);
        // Even size, so the disc's centre sits on the pixel corner the placement rounds to.
        const int size = 2 * int(std::ceil((style.diameter * m_spriteScale + 1) / 2 + 1));
        sprite = QImage(size, size, QImage::Format_ARGB32_Premultiplied);
        sprite.fill(Qt::transparent);
        QPainter p(&sprite);
        p.translate(size / 2, size / 2);
        p.scale(m_spriteScale, m_spriteScale);
        p.setPen(QPen(style.colour, 1));
        p.setBrush(style.colour);
        const double d = style.diameter;
        p.drawEllipse(QRectF(-0.5 * d, -0.5 * d, d, d));
    }
    return sprite;
}
