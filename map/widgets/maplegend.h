#pragma once

#include "overlaypanel.h"

#include <QCoreApplication>

// The map's legend: which colour a reading takes, one line per colour that some reading can take,
// labelled with the readings that take it and titled with what is measured.
class TMapLegend {
    Q_DECLARE_TR_FUNCTIONS(TMapLegend)

public:
    // `unit` is a dose-unit code or kCountRate; thresholds and colours as the track is coloured.
    static TOverlayPanel build(const QList<double> &thresholds, const QList<QColor> &colors,
                               int unit);
};
