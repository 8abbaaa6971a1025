#include "maplegend.h"

#include "format.h"

#include <cmath>

TOverlayPanel TMapLegend::build(const QList<double> &thresholds, const QList<QColor> &colors,
                                int unit) {
    TOverlayPanel panel;
    if (colors.isEmpty()) return panel;
    panel.addLine(unit == kCountRate ? tr("Count rate") : tr("Dose rate"));
    // Walks the bands as trackColourIndex assigns them: a colour before the last is taken below
    // its own positive threshold and at or above every positive threshold before it, so one whose
    // threshold does not rise above those is never taken and gets no line. The last colour takes
    // everything left, and the threshold at its own index changes nothing.
    double lower = -HUGE_VAL;
    for (qsizetype i = 0; i < colors.size(); ++i) {
        const bool last = i == colors.size() - 1;
        const double t = i < thresholds.size() ? thresholds[i] : 0;
        if (!last && !(t > 0 && t > lower)) continue;
        QString text;
        if (std::isinf(lower))
            text = last ? tr("All readings") : tr("< %1").arg(formatReading(t, unit));
        else
            text = tr("\u2265 %1").arg(formatReading(lower, unit));
        panel.addLine(text, colors[i]);
        if (!last) lower = t;
    }
    return panel;
}
