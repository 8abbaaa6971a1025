#pragma once

#include <QPointF>
#include <optional>

class QIODevice;

// The six affine terms of a world file. Lines 5 and 6 name the map coordinates of the centre of
// the upper-left pixel, so scene (0.5, 0.5) falls on (originX, originY):
//   mapX = pixelSizeX * column + skewX * row + originX
//   mapY = skewY * column + pixelSizeY * row + originY
// with column = sceneX - 0.5 and row = sceneY - 0.5.
struct TWorldFile {
    double pixelSizeX = 0;  // line 1: map x per pixel along a row
    double skewY = 0;       // line 2: map y per pixel along a row (rotation term)
    double skewX = 0;       // line 3: map x per pixel down a column (rotation term)
    double pixelSizeY = 0;  // line 4: negative in a north-up map
    double originX = 0;     // line 5
    double originY = 0;     // line 6

    // False while no usable world file is loaded: every conversion then refuses to divide.
    bool isValid() const;
    QPointF mapToScene(double mapX, double mapY) const;
    QPointF sceneToMap(double sceneX, double sceneY) const;

    // Six numeric lines of an invertible transform; anything less is refused as a whole, so a
    // truncated or garbled file never moves the map to half-defined coordinates.
    static std::optional<TWorldFile> parse(QIODevice &device);

private:
    double determinant() const { return pixelSizeX * pixelSizeY - skewX * skewY; }
};
