// A map's world file, projection file and GDAL .aux.xml come with the map from anywhere: none may
// crash the loader, whatever they hold. The input is split at its first two NUL bytes into the
// three, written beside a small PNG and read and applied as the map view loads a map.
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>

#include "map/widgets/mapscene.h"

namespace {
struct Folder {
    QTemporaryDir dir;
    QString map;
    Folder() : map(dir.filePath(QStringLiteral("map.png"))) {
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        if (!dir.isValid() || !image.save(map)) __builtin_trap();
    }
    void write(const QString &suffix, const QByteArray &text) const {
        QFile file(dir.filePath(QStringLiteral("map") + suffix));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) __builtin_trap();
    }
};

const Folder &folder() {
    static int argc = 1;
    static char name[] = "fuzz_map_files";
    static char *argv[] = {name, nullptr};
    static const bool platform = qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    static const Folder made;
    (void)platform;
    return made;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Folder &here = folder();
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<QByteArray> parts = input.split('\0');
    while (parts.size() < 3)
        parts << QByteArray();
    here.write(QStringLiteral(".pgw"), parts[0]);
    here.write(QStringLiteral(".prj"), parts[1]);
    here.write(QStringLiteral(".png.aux.xml"), parts.mid(2).join('\0'));

    const TMapFiles files = TMapFiles::read(here.map);
    TMapScene scene;
    if (!scene.useMapImage(files.raster, files.rasterError)) __builtin_trap();  // the PNG is fine
    bool placed = false, projected = false;
    for (const TMapFiles::Companion &file : files.calibration)
        placed = placed || (file.text && scene.loadCalText(*file.text));
    for (const TMapFiles::Companion &file : files.projection)
        projected = projected || (file.text && scene.loadProjText(*file.text));
    if (!placed) scene.useRasterPlacement();
    if (!projected) scene.useRasterProjection();
    double x, y, latitude, longitude;
    scene.convToProj(49.2, 16.6, &x, &y);
    scene.convToWorld(4, 4, &latitude, &longitude);
    scene.createScene();
    return 0;
}
