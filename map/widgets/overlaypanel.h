#pragma once

#include <QColor>
#include <QList>
#include <QRect>
#include <QString>

class QFontMetrics;
class QPainter;

// Lines of text, each with an optional colour swatch, on a light translucent backing with a
// border, so that they stay readable over any raster. Drawn in device pixels: the map's zoom
// does not scale it.
class TOverlayPanel {
public:
    struct Line {
        QString text;
        QColor swatch;  // invalid: no swatch
    };

    void addLine(const QString &text, const QColor &swatch = QColor());
    const QList<Line> &lines() const { return m_lines; }
    bool isEmpty() const { return m_lines.isEmpty(); }

    QSize size(const QFontMetrics &metrics) const;
    void paint(QPainter *painter, const QRect &rect) const;

private:
    bool hasSwatches() const;

    QList<Line> m_lines;
};
