#pragma once

#include <QColor>
#include <QList>

// Index into `colorCount` colours for a reading: the first positive threshold above the reading
// picks its own index (a reading equal to a threshold belongs to the band above), thresholds of 0
// or less are skipped, and a reading at or above all of them takes the last colour.
qsizetype trackColourIndex(double value, const QList<double> &thresholds, qsizetype colorCount);

// The disc colour of a reading: the colour chosen above with alpha 200. Black without colours.
QColor trackColour(double value, const QList<double> &thresholds, const QList<QColor> &colors);
