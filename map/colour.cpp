#include "colour.h"

qsizetype trackColourIndex(double value, const QList<double> &thresholds, qsizetype colorCount) {
    for (qsizetype i = 0; i < thresholds.size() && i < colorCount; ++i) {
        const double t = thresholds[i];
        if (t > 0 && t > value) return i;
    }
    return colorCount - 1;
}

QColor trackColour(double value, const QList<double> &thresholds, const QList<QColor> &colors) {
    QColor colour = colors.isEmpty() ? QColor(Qt::black)
                                     : colors[trackColourIndex(value, thresholds, colors.size())];
    colour.setAlpha(200);
    return colour;
}
