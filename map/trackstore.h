#pragma once

#include "trackpoint.h"

#include <QColor>
#include <QRectF>
#include <QtGlobal>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

// The track in compact form (48 bytes a point plus 8 of index) with a grid index over the scene
// positions. Points with a non-finite scene position stay in the track but are never indexed, so
// they are neither drawn nor picked.
class TTrackStore {
public:
    struct Style {
        QColor colour;  // alpha already applied
        double diameter;
    };

    quint32 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    void append(const TTrackPoint &point, quint16 style);
    TTrackPoint point(quint32 index) const;

    float x(quint32 index) const { return record(index).x; }
    float y(quint32 index) const { return record(index).y; }
    // The reading that colours and stacks the point: its count rate or its dose rate.
    double value(quint32 index) const {
        const Record &r = record(index);
        return m_byCountRate ? r.countRate : r.doseRate;
    }
    void setColourByCountRate(bool countRate) { m_byCountRate = countRate; }
    bool coloursByCountRate() const { return m_byCountRate; }
    quint16 styleOf(quint32 index) const { return record(index).style; }
    void setStyleOf(quint32 index, quint16 style) { record(index).style = style; }
    bool isDrawable(quint32 index) const;
    // Gives every point the scene position `sceneOf(latitude, longitude)` and indexes it anew.
    void relocate(const std::function<QPointF(double, double)> &sceneOf);

    // Interned disc styles; clearStyles only when every point is restyled afterwards.
    quint16 styleId(const QColor &colour, double diameter);
    const Style &style(quint16 id) const { return m_styles[id]; }
    double maxDiameter() const { return m_maxDiameter; }
    void clearStyles();

    // True when point a is drawn above point b: higher reading, then later point. NaN readings
    // sort lowest, keeping the order strict.
    bool isAbove(quint32 a, quint32 b) const;

    // Calls visit(index) for every indexed point with index >= first whose position lies in rect.
    template <class Visit>
    void query(const QRectF &rect, quint32 first, Visit &&visit) const;

    // Nearest point to a click, the earlier of equally near ones, strictly closer than radius;
    // distances in whole scene units of the truncated click and offsets. -1 when none.
    qint64 pick(double sceneX, double sceneY, double radius) const;

    size_t memoryBytes() const;

private:
    // The instrument sends both readings in single precision.
    struct Record {
        double latitude;
        double longitude;
        qint64 time;
        float doseRate;
        float countRate;
        float altitude;  // shown in whole metres only
        float x;
        float y;
        quint16 style;
        qint8 unit;
        quint8 device;
    };
    struct Entry {
        quint32 key;
        quint32 index;
    };
    // A day of surveying is about a million points: each may cost at most 64 bytes.
    static_assert(sizeof(Record) == 48);
    static_assert(sizeof(Record) + sizeof(Entry) <= 64);
    static constexpr int kChunkBits = 12;  // fixed chunks: no reallocation, no doubling slack
    // A few points a cell even where the surveyor lingered, so a click reads few beyond those it
    // must weigh; positions beyond a quarter of a million units either way share the edge cells.
    static constexpr double kCellSize = 8;

    Record &record(quint32 i) { return m_chunks[i >> kChunkBits][i & ((1u << kChunkBits) - 1)]; }
    const Record &record(quint32 i) const {
        return m_chunks[i >> kChunkBits][i & ((1u << kChunkBits) - 1)];
    }
    static quint32 cell(double v);
    static quint32 key(quint32 cx, quint32 cy) { return (cy << 16) | cx; }
    static void sortByKey(std::vector<Entry> &entries);  // stable
    // The square of the least truncated offset along one axis from v to a point in cell c.
    static double nearestInCell(quint32 c, double v);
    static constexpr size_t kPickCells = 1024;  // more cells around a click are scanned in rows
    void index(quint32 i);
    void mergeTail();

    std::vector<std::unique_ptr<Record[]>> m_chunks;
    quint32 m_size = 0;
    std::vector<Entry> m_sorted;  // by key
    std::vector<Entry> m_tail;    // recent points, merged in batches
    std::vector<Style> m_styles;
    double m_maxDiameter = 0;
    bool m_byCountRate = false;
};

template <class Visit>
void TTrackStore::query(const QRectF &rect, quint32 first, Visit &&visit) const {
    if (!(rect.width() >= 0 && rect.height() >= 0)) return;
    const quint32 cx0 = cell(rect.left()), cx1 = cell(rect.right());
    const quint32 cy0 = cell(rect.top()), cy1 = cell(rect.bottom());
    const auto inside = [&](quint32 i) {
        const Record &r = record(i);
        return i >= first && r.x >= rect.left() && r.x <= rect.right() && r.y >= rect.top() &&
               r.y <= rect.bottom();
    };
    for (quint32 cy = cy0; cy <= cy1; ++cy) {
        const quint32 lo = key(cx0, cy), hi = key(cx1, cy);
        auto it = std::lower_bound(m_sorted.begin(), m_sorted.end(), lo,
                                   [](const Entry &e, quint32 k) { return e.key < k; });
        for (; it != m_sorted.end() && it->key <= hi; ++it)
            if (inside(it->index)) visit(it->index);
    }
    for (const Entry &e : m_tail) {
        const quint32 cx = e.key & 0xffff, cy = e.key >> 16;
        if (cx >= cx0 && cx <= cx1 && cy >= cy0 && cy <= cy1 && inside(e.index)) visit(e.index);
    }
}
