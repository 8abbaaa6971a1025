#pragma once

#include <QPointF>
#include <optional>

class QIODevice;

// The affine terms of an axis-aligned world file. Lines 5 and 6 name the map coordinates of the
// centre of the upper-left pixel, so scene (0.5, 0.5) falls on (originX, originY).
struct TWorldFile {
    double pixelSizeX = 0;  // line 1: map units per pixel along x
    double pixelSizeY = 0;  // line 4: negative in a north-up map
    double originX = 0;     // line 5
    double originY = 0;     // line 6

    // False while no usable world file is loaded: every conversion then refuses to divide.
    bool isValid() const;
    QPointF mapToScene(double mapX, double mapY) const;
    QPointF sceneToMap(double sceneX, double sceneY) const;

    // Six numeric lines with finite, non-zero pixel sizes; anything less is refused as a whole, so
    // a truncated or garbled file never moves the map to half-defined coordinates.
    static std::optional<TWorldFile> parse(QIODevice &device);
};
