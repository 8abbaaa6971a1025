#include "worldfile.h"

#include <QIODevice>
#include <cmath>

bool TWorldFile::isValid() const {
    return std::isfinite(pixelSizeX) && std::isfinite(pixelSizeY) && pixelSizeX != 0 &&
           pixelSizeY != 0 && std::isfinite(originX) && std::isfinite(originY);
}

QPointF TWorldFile::mapToScene(double mapX, double mapY) const {
    return {(mapX - originX) / pixelSizeX + 0.5, (mapY - originY) / pixelSizeY + 0.5};
}

QPointF TWorldFile::sceneToMap(double sceneX, double sceneY) const {
    return {(sceneX - 0.5) * pixelSizeX + originX, (sceneY - 0.5) * pixelSizeY + originY};
}

std::optional<TWorldFile> TWorldFile::parse(QIODevice &device) {
    double terms[6];
    for (double &term : terms) {
        if (device.atEnd()) return std::nullopt;
        bool ok = false;
        term = QString::fromUtf8(device.readLine()).trimmed().toDouble(&ok);
        if (!ok) return std::nullopt;
    }
    TWorldFile file;
    file.pixelSizeX = terms[0];
    file.pixelSizeY = terms[3];
    file.originX = terms[4];
    file.originY = terms[5];
    if (!file.isValid()) return std::nullopt;
    return file;
}
