#include "worldfile.h"

#include <QIODevice>
#include <cmath>

bool TWorldFile::isValid() const {
    const double det = determinant();
    return std::isfinite(pixelSizeX) && std::isfinite(skewY) && std::isfinite(skewX) &&
           std::isfinite(pixelSizeY) && std::isfinite(originX) && std::isfinite(originY) &&
           std::isfinite(det) && det != 0;
}

QPointF TWorldFile::mapToScene(double mapX, double mapY) const {
    const double dx = mapX - originX, dy = mapY - originY;
    // The plain division keeps north-up maps exactly where they always were.
    if (skewX == 0 && skewY == 0) return {dx / pixelSizeX + 0.5, dy / pixelSizeY + 0.5};
    const double det = determinant();
    return {(pixelSizeY * dx - skewX * dy) / det + 0.5, (pixelSizeX * dy - skewY * dx) / det + 0.5};
}

QPointF TWorldFile::sceneToMap(double sceneX, double sceneY) const {
    const double column = sceneX - 0.5, row = sceneY - 0.5;
    return {pixelSizeX * column + skewX * row + originX,
            skewY * column + pixelSizeY * row + originY};
}

std::optional<TWorldFile> TWorldFile::parse(QIODevice &device) {
    double terms[6];
    for (double &term : terms) {
        if (device.atEnd()) return std::nullopt;
        bool ok = false;
        term = QString::fromUtf8(device.readLine()).trimmed().toDouble(&ok);
        if (!ok) return std::nullopt;
    }
    const TWorldFile file{terms[0], terms[1], terms[2], terms[3], terms[4], terms[5]};
    if (!file.isValid()) return std::nullopt;
    return file;
}
