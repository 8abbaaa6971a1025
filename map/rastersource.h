#pragma once

#include "worldfile.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <QVector>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

typedef void *GDALDatasetH;

// A georeferenced raster read through GDAL: any format GDAL reads, of any size, read a window at a
// time. Opening reads only the header; pixels are read on demand by `read`, from any thread.
class TRasterSource {
public:
    ~TRasterSource();
    TRasterSource(const TRasterSource &) = delete;
    TRasterSource &operator=(const TRasterSource &) = delete;

    // Null with GDAL's reason in `error` when the file is not a raster GDAL may open. Drivers that
    // reach out to the network or to other files (VRT, WMS, ...) are refused: a map file must not
    // make the program read anything but itself and its side files.
    static std::shared_ptr<TRasterSource> open(const QString &path, QString *error);

    QSize size() const { return m_size; }
    bool hasOverviews() const { return m_hasOverviews; }
    // The raster's own placement (geotransform, world file or .aux.xml GDAL found) in scene
    // coordinates; none when the raster carries none.
    std::optional<TWorldFile> worldFile() const { return m_world; }
    // The raster's own coordinate reference system as WKT, empty when it carries none.
    QString crs() const { return m_crs; }

    // The pixels of `window` (full-resolution pixels) scaled to `size`, averaged where reduced
    // (GDAL takes overviews where the file has them). Null, with GDAL's reason, on a read error.
    // Any thread; concurrent reads each take their own dataset handle. `progress`, when given,
    // hears the share done (0 to 1) and stops the read by returning false.
    using Progress = std::function<bool(double)>;
    QImage read(const QRect &window, const QSize &size, QString *error,
                const Progress &progress = {}) const;

private:
    enum class Kind { Rgb, Rgba, Palette, Gray, Scaled };
    explicit TRasterSource(const QByteArray &path) : m_path(path) {}
    bool describe(GDALDatasetH dataset, QString *error);
    GDALDatasetH acquire() const;
    void release(GDALDatasetH dataset) const;
    QImage readBytes(GDALDatasetH dataset, const QRect &window, const QSize &size,
                     const Progress &progress, QString *error) const;
    QImage readScaled(GDALDatasetH dataset, const QRect &window, const QSize &size,
                      const Progress &progress, QString *error) const;

    // Set while opening, read-only afterwards.
    QByteArray m_path;
    QSize m_size;
    bool m_hasOverviews = false;
    std::optional<TWorldFile> m_world;
    QString m_crs;
    Kind m_kind = Kind::Gray;
    QVector<QRgb> m_palette;              // premultiplied
    double m_minimum = 0, m_maximum = 1;  // Kind::Scaled: the values drawn black and white

    mutable std::mutex m_mutex;
    mutable std::vector<GDALDatasetH> m_idle;  // guarded by m_mutex: handles no read is using
};
