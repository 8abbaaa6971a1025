// A plot of one instrument's dose rate or count rate against time: the last 10 minutes by default,
// zoomed in and out with the wheel, the alarm threshold drawn as a line, a gap in the readings as
// a break. Clicking a moment picks the reading nearest to it and asks for its place on the map.
//
// GUI thread only.
#pragma once

#include <QTimer>
#include <QWidget>

#include "instrumentwatch.h"

class TimelineWidget : public QWidget {
    Q_OBJECT

public:
    static constexpr qint64 kDefaultSpanMs = 10 * 60 * 1000;
    static constexpr qint64 kMinSpanMs = 10 * 1000;
    static constexpr qint64 kMaxSpanMs = 24 * 3600 * 1000LL;

    explicit TimelineWidget(const InstrumentWatch &watch, QWidget *parent = nullptr);

    void setReading(InstrumentWatch::Reading reading);
    InstrumentWatch::Reading reading() const { return m_reading; }
    qint64 spanMs() const { return m_spanMs; }
    void setSpanMs(qint64 spanMs);
    // The time at the plot's right edge: the newest reading's.
    qint64 endMs() const;
    // The plot's area and its mapping of time to x; a time outside the span maps outside it.
    QRect plotRect() const;
    qint64 timeAt(int x) const;
    int xOf(qint64 timeMs) const;

    QSize sizeHint() const override { return {640, 300}; }

signals:
    // The reading nearest to a clicked moment.
    void picked(const StatisticsReading &reading);

protected:
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    double valueOf(const StatisticsReading &r) const;

    const InstrumentWatch &m_watch;
    InstrumentWatch::Reading m_reading = InstrumentWatch::DoseRate;
    qint64 m_spanMs = kDefaultSpanMs;
    int m_wheel = 0;         // eighths of a degree not yet turned into a zoom step
    qint64 m_pickedMs = -1;  // the moment marked after a click
    // Readings come at up to 100 a second per instrument; the plot follows a few times a second.
    QTimer m_redraw;
};
