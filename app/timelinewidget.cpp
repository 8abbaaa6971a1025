#include "timelinewidget.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QWheelEvent>
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "map/format.h"

namespace {
constexpr int kNotch = 120;  // eighths of a degree per wheel notch
constexpr double kZoomStep = 1.25;
constexpr int kRedrawMs = 200;
constexpr int kLeftMargin = 90, kRightMargin = 12, kTopMargin = 12, kBottomMargin = 28;
}  // namespace

TimelineWidget::TimelineWidget(const InstrumentWatch &watch, QWidget *parent)
    : QWidget(parent), m_watch(watch) {
    setAccessibleName(tr("Timeline"));
    setMinimumSize(320, 160);
    m_redraw.setSingleShot(true);
    m_redraw.setInterval(kRedrawMs);
    connect(&m_redraw, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    connect(&watch, &InstrumentWatch::readingsChanged, this, [this] {
        if (!m_redraw.isActive()) m_redraw.start();
    });
}

void TimelineWidget::setReading(InstrumentWatch::Reading reading) {
    m_reading = reading;
    update();
}

void TimelineWidget::setSpanMs(qint64 spanMs) {
    m_spanMs = std::clamp(spanMs, kMinSpanMs, kMaxSpanMs);
    update();
}

qint64 TimelineWidget::endMs() const {
    const auto &samples = m_watch.samples();
    return samples.empty() ? 0 : samples.back().timeMs;
}

QRect TimelineWidget::plotRect() const {
    return rect().adjusted(kLeftMargin, kTopMargin, -kRightMargin, -kBottomMargin);
}

qint64 TimelineWidget::timeAt(int x) const {
    const QRect plot = plotRect();
    const double fraction = double(x - plot.left()) / std::max(1, plot.width());
    return endMs() - m_spanMs + qint64(std::llround(fraction * double(m_spanMs)));
}

int TimelineWidget::xOf(qint64 timeMs) const {
    const QRect plot = plotRect();
    const double fraction = double(timeMs - (endMs() - m_spanMs)) / double(m_spanMs);
    return plot.left() + int(std::lround(fraction * plot.width()));
}

double TimelineWidget::valueOf(const StatisticsReading &r) const {
    return m_reading == InstrumentWatch::DoseRate ? r.doseRate : r.countRate;
}

void TimelineWidget::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    const QRect plot = plotRect();
    const auto &samples = m_watch.samples();
    const qint64 start = endMs() - m_spanMs;
    const double threshold = m_watch.alarm(m_reading).threshold();
    const int unit = m_reading == InstrumentWatch::DoseRate ? m_watch.doseUnit() : kCountRate;

    auto first =
        std::lower_bound(samples.begin(), samples.end(), start,
                         [](const StatisticsReading &r, qint64 t) { return r.timeMs < t; });
    double top = threshold;
    for (auto it = first; it != samples.end(); ++it)
        if (std::isfinite(valueOf(*it))) top = std::max(top, valueOf(*it));
    top = top > 0 ? top * 1.1 : 1.0;
    auto yOf = [&](double v) { return plot.bottom() - int(std::lround(v / top * plot.height())); };

    const QColor text = palette().color(QPalette::Text);
    p.setPen(text);
    p.drawRect(plot);
    const QFontMetrics fm = fontMetrics();
    p.drawText(QRect(0, plot.top(), kLeftMargin - 6, fm.height()), Qt::AlignRight,
               formatReading(top, unit));
    p.drawText(QRect(0, plot.bottom() - fm.height(), kLeftMargin - 6, fm.height()), Qt::AlignRight,
               formatReading(0, unit));
    const QString format = QStringLiteral("HH:mm:ss");
    p.drawText(QRect(plot.left(), plot.bottom() + 4, plot.width(), fm.height()), Qt::AlignLeft,
               QDateTime::fromMSecsSinceEpoch(start).toString(format));
    p.drawText(QRect(plot.left(), plot.bottom() + 4, plot.width(), fm.height()), Qt::AlignRight,
               QDateTime::fromMSecsSinceEpoch(endMs()).toString(format));

    p.save();
    p.setClipRect(plot);
    p.setRenderHint(QPainter::Antialiasing);
    // Ten minutes at 50 readings a second are far more points than pixels: each pixel column
    // keeps its first, lowest, highest and last point, which draws the same line. A line per
    // stretch without a gap; a cosmetic pen takes the raster engine's fast way.
    std::vector<QPolygonF> lines;
    qint64 previous = -1;
    int column = INT_MIN, low = 0, high = 0, last = 0;
    auto endColumn = [&] {
        if (column == INT_MIN) return;
        lines.back() << QPointF(column, low) << QPointF(column, high) << QPointF(column, last);
    };
    for (auto it = first; it != samples.end(); ++it) {
        const double v = valueOf(*it);
        if (!std::isfinite(v)) continue;
        const int x = xOf(it->timeMs), y = yOf(v);
        // A gap in the readings is a break in the line, not a slope across it.
        const bool gap = previous < 0 || it->timeMs - previous > DoseIntegrator::kMaxGapMs;
        previous = it->timeMs;
        if (!gap && x == column) {
            low = std::min(low, y);
            high = std::max(high, y);
            last = y;
            continue;
        }
        endColumn();
        if (gap) lines.emplace_back();
        lines.back() << QPointF(x, y);
        column = x;
        low = high = last = y;
    }
    endColumn();
    QPen pen(palette().color(QPalette::Highlight), 2);
    pen.setCosmetic(true);
    p.setPen(pen);
    for (const QPolygonF &line : lines)
        p.drawPolyline(line);
    p.setRenderHint(QPainter::Antialiasing, false);  // the lines across stay crisp
    if (threshold > 0) {
        p.setPen(QPen(Qt::red, 1, Qt::DashLine));
        p.drawLine(plot.left(), yOf(threshold), plot.right(), yOf(threshold));
    }
    if (m_pickedMs >= start) {
        p.setPen(QPen(text, 1, Qt::DotLine));
        p.drawLine(xOf(m_pickedMs), plot.top(), xOf(m_pickedMs), plot.bottom());
    }
    p.restore();
}

void TimelineWidget::wheelEvent(QWheelEvent *event) {
    m_wheel += event->angleDelta().y();
    // Turned away from oneself it narrows the span (zooms in); fine wheels add up to a notch.
    while (std::abs(m_wheel) >= kNotch) {
        const bool in = m_wheel > 0;
        m_wheel -= in ? kNotch : -kNotch;
        setSpanMs(qint64(std::llround(in ? m_spanMs / kZoomStep : m_spanMs * kZoomStep)));
    }
    event->accept();
}

void TimelineWidget::mousePressEvent(QMouseEvent *event) {
    const auto &samples = m_watch.samples();
    if (event->button() != Qt::LeftButton || samples.empty() ||
        !plotRect().contains(event->position().toPoint()))
        return;
    const qint64 t = timeAt(event->position().toPoint().x());
    auto it = std::lower_bound(samples.begin(), samples.end(), t,
                               [](const StatisticsReading &r, qint64 v) { return r.timeMs < v; });
    if (it == samples.end() || (it != samples.begin() && t - (it - 1)->timeMs < it->timeMs - t))
        --it;
    m_pickedMs = it->timeMs;
    update();
    emit picked(*it);
}
