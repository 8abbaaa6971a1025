#pragma once

#include <QGraphicsItem>
#include <QImage>
#include <memory>
#include <vector>

class TTrackStore;

// Draws the discs of the points [first, size) of a track store as one graphics item: only the
// points in the exposed area are visited, stacked by reading. Where discs pile up many deep, those
// that would leave no trace under the ones above are left out. A crowded track goes out as
// pre-drawn discs placed to a sixteenth of a pixel. Discs smaller than a logical pixel and a half
// are drawn in logical pixels.
class TTrackItem : public QGraphicsItem {
public:
    TTrackItem(std::shared_ptr<const TTrackStore> store, quint32 first);

    // Call after appending to the store: grows the bounds and schedules the new disc's repaint.
    void pointAppended();

    QRectF boundingRect() const override { return m_bounds; }
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;

private:
    QRectF discRect(quint32 index) const;
    void sortByStacking();  // bottom first, as TTrackStore::isAbove orders
    // Leaves out of the sorted visible discs those covered by enough discs above them to leave no
    // trace in the exposed area; the painter must be clipped to it.
    void cullHidden(const QTransform &toDevice, const QRectF &exposed, double deviceDiameter);
    bool isCovered(double cx, double cy, double r, int columns, int rows, int layers) const;
    void cover(double cx, double cy, double r, int columns, int rows, int layers);
    void paintDiscs(QPainter *painter);  // the visible discs in their order
    void paintSprites(QPainter *painter, const QTransform &toCanvas, qreal canvasRatio,
                      const QRectF &exposed);
    // A disc drawn once per style and scale, premultiplied, with each row's non-empty span.
    struct Sprite {
        int size = 0;
        std::vector<quint32> pixels;
        std::vector<std::pair<int, int>> spans;
        void blendOnto(quint32 *canvas, qsizetype stride, QSize canvasSize, int left,
                       int top) const;
    };
    quint32 spriteFor(quint16 style, int phaseX, int phaseY);  // drawn on first use; its slot
    // A disc's sprite and place on the canvas, with its stacking key.
    struct Placed {
        double value;
        quint32 index;
        quint32 sprite;
        qint32 left, top;
        bool operator<(const Placed &o) const {
            return value < o.value || (value == o.value && index < o.index);
        }
    };

    std::shared_ptr<const TTrackStore> m_store;
    quint32 m_first;
    quint32 m_seen;  // points already folded into m_bounds
    QRectF m_bounds;
    // Scratch buffers kept between paints to avoid reallocating them on every frame.
    std::vector<quint32> m_visible;
    std::vector<quint8> m_coverage;  // per tile of the exposed area: discs covering it whole
    int m_tile = 1;                  // device pixels a side of a tile
    // A visible point in stacking order, with its position and style.
    struct Key {
        double value;
        quint32 index;
        float x, y;
        quint16 style;
        bool operator<(const Key &o) const {
            return value < o.value || (value == o.value && index < o.index);
        }
    };
    std::vector<Key> m_keys;  // as last sorted by sortByStacking
    std::vector<Placed> m_placed;
    std::vector<Sprite> m_sprites;  // by style and sub-pixel offset, drawn at m_spriteScale
    double m_spriteScale = 0;
    QImage m_canvas;
};
