#include "trackstore.h"

#include <array>
#include <cmath>

quint32 TTrackStore::cell(double v) {
    // Far-out positions share the edge cells; queries clamp the same way and then test the exact
    // position, so nothing is lost.
    const double c = std::floor(v / kCellSize) + 32768.0;
    return quint32(std::clamp(c, 0.0, 65535.0));
}

bool TTrackStore::isDrawable(quint32 index) const {
    const Record &r = record(index);
    return std::isfinite(r.x) && std::isfinite(r.y);
}

void TTrackStore::append(const TTrackPoint &point, quint16 style) {
    const quint32 chunk = m_size >> kChunkBits;
    if (chunk == m_chunks.size()) m_chunks.emplace_back(new Record[1u << kChunkBits]);
    // Unit codes and device numbers arrive checked (TMapScene::addTrackPoint): a byte holds them.
    record(m_size) = {point.latitude,      point.longitude,        point.time,
                      float(point.value),  float(point.countRate), float(point.altitude),
                      float(point.sceneX), float(point.sceneY),    style,
                      qint8(point.unit),   quint8(point.device)};
    index(m_size);
    ++m_size;
}

void TTrackStore::index(quint32 i) {
    const Record &r = record(i);
    if (!std::isfinite(r.x) || !std::isfinite(r.y)) return;
    m_tail.push_back({key(cell(r.x), cell(r.y)), i});
    // Batches grow with the track, so merging costs a constant number of moves per point.
    if (m_tail.size() > std::max<size_t>(4096, m_sorted.size() / 8)) mergeTail();
}

void TTrackStore::relocate(const std::function<QPointF(double, double)> &sceneOf) {
    m_sorted.clear();
    m_tail.clear();
    for (quint32 i = 0; i < m_size; ++i) {
        Record &r = record(i);
        const QPointF at = sceneOf(r.latitude, r.longitude);
        r.x = float(at.x());
        r.y = float(at.y());
        index(i);
    }
    mergeTail();
}

void TTrackStore::sortByKey(std::vector<Entry> &entries) {
    // Four stable passes of a byte each: a constant per entry, where a comparison sort would cost
    // its logarithm, so adding a point stays constant time however long the track grows.
    std::vector<Entry> scratch(entries.size());
    for (int shift = 0; shift < 32; shift += 8) {
        std::array<size_t, 257> start{};
        for (const Entry &e : entries)
            ++start[((e.key >> shift) & 0xff) + 1];
        for (size_t b = 1; b < start.size(); ++b)
            start[b] += start[b - 1];
        for (const Entry &e : entries)
            scratch[start[(e.key >> shift) & 0xff]++] = e;
        entries.swap(scratch);
    }
}

void TTrackStore::mergeTail() {
    const auto byKey = [](const Entry &a, const Entry &b) { return a.key < b.key; };
    sortByKey(m_tail);
    std::vector<Entry> merged(m_sorted.size() + m_tail.size());
    std::merge(m_sorted.begin(), m_sorted.end(), m_tail.begin(), m_tail.end(), merged.begin(),
               byKey);
    m_sorted.swap(merged);
    m_tail.clear();
}

TTrackPoint TTrackStore::point(quint32 index) const {
    const Record &r = record(index);
    return {r.latitude, r.longitude, r.altitude, r.doseRate, r.x,
            r.y,        r.time,      r.unit,     r.device,   r.countRate};
}

quint16 TTrackStore::styleId(const QColor &colour, double diameter) {
    for (size_t i = 0; i < m_styles.size(); ++i)
        if (m_styles[i].colour == colour && m_styles[i].diameter == diameter) return quint16(i);
    // Styles change only with the settings; should a session ever exhaust the table, the newest
    // style is reused rather than overflowing the id.
    if (m_styles.size() == 0xffff) {
        m_styles.back() = {colour, diameter};
    } else {
        m_styles.push_back({colour, diameter});
    }
    m_maxDiameter = std::max(m_maxDiameter, diameter);
    return quint16(m_styles.size() - 1);
}

void TTrackStore::clearStyles() {
    m_styles.clear();
    m_maxDiameter = 0;
}

bool TTrackStore::isAbove(quint32 a, quint32 b) const {
    double va = value(a), vb = value(b);
    if (std::isnan(va)) va = -HUGE_VAL;
    if (std::isnan(vb)) vb = -HUGE_VAL;
    return va != vb ? va > vb : a > b;
}

qint64 TTrackStore::pick(double sceneX, double sceneY, double radius) const {
    if (!std::isfinite(sceneX) || !std::isfinite(sceneY) || !(radius > 0)) return -1;
    const double ix = std::trunc(sceneX), iy = std::trunc(sceneY);
    // Offsets are truncated, so a point up to one unit beyond the radius can still count.
    const QRectF around(ix - radius - 1, iy - radius - 1, 2 * radius + 2, 2 * radius + 2);
    qint64 best = -1;
    double bestD2 = radius * radius;
    const auto consider = [&](quint32 i) {
        const double dx = std::trunc(ix - x(i)), dy = std::trunc(iy - y(i));
        const double d2 = dx * dx + dy * dy;
        if (d2 < bestD2 || (d2 == bestD2 && best >= 0 && i < best)) {
            best = i;
            bestD2 = d2;
        }
    };
    const quint32 cx0 = cell(around.left()), cx1 = cell(around.right());
    const quint32 cy0 = cell(around.top()), cy1 = cell(around.bottom());
    if (quint64(cx1 - cx0 + 1) * (cy1 - cy0 + 1) > kPickCells) {
        query(around, 0, consider);  // a radius of many cells: no ordering pays
        return best;
    }
    std::array<std::pair<double, quint32>, kPickCells> cells;
    // Nearest cells first: once a point is nearer than anything a cell could hold, the cell and
    // all beyond it are skipped, so a click in a crowd reads the few cells around it.
    size_t count = 0;
    for (quint32 cy = cy0; cy <= cy1; ++cy)
        for (quint32 cx = cx0; cx <= cx1; ++cx)
            cells[count++] = {nearestInCell(cx, ix) + nearestInCell(cy, iy), key(cx, cy)};
    std::sort(cells.begin(), cells.begin() + std::ptrdiff_t(count));
    const auto byKey = [](const Entry &e, quint32 k) { return e.key < k; };
    for (size_t c = 0; c < count && cells[c].first <= bestD2; ++c) {
        auto it = std::lower_bound(m_sorted.begin(), m_sorted.end(), cells[c].second, byKey);
        for (; it != m_sorted.end() && it->key == cells[c].second; ++it)
            consider(it->index);
    }
    for (const Entry &e : m_tail) {
        const quint32 cx = e.key & 0xffff, cy = e.key >> 16;
        if (cx >= cx0 && cx <= cx1 && cy >= cy0 && cy <= cy1) consider(e.index);
    }
    return best;
}

double TTrackStore::nearestInCell(quint32 c, double v) {
    // Edge cells also hold everything beyond them.
    if (c == 0 || c == 0xffff) return 0;
    const double low = (double(c) - 32768.0) * kCellSize, high = low + kCellSize;
    // A truncated offset can come up to a unit short of the true one.
    const double gap = std::max({0.0, low - v - 1, v - high - 1});
    return gap * gap;
}

size_t TTrackStore::memoryBytes() const {
    return m_chunks.size() * (sizeof(Record) << kChunkBits) +
           (m_sorted.capacity() + m_tail.capacity()) * sizeof(Entry) +
           m_styles.capacity() * sizeof(Style);
}
