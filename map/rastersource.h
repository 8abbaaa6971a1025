#pragma once

#include "worldfile.h"

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>
#include <QVector>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

typedef void *GDALDatasetH;

// A georeferenced raster read through GDAL: GeoTIFF, PNG, JPEG or WebP, of any size, read a window
// at a time. Opening reads only the header; pixels are read on demand by `read`, from any thread.
class TRasterSource {
public:
    ~TRasterSource();
    TRasterSource(const TRasterSource &) = delete;
    TRasterSource &operator=(const TRasterSource &) = delete;

    // Null with GDAL's reason in `error` when the file is not a raster GDAL may open. Only formats
    // that keep everything in the file are taken, and GDAL sees only the regular files among the
    // map's .aux.xml and world files: a map file must not make the program read anything but
    // itself and its side files, nor wait on a FIFO named as one.
    static std::shared_ptr<TRasterSource> open(const QString &path, QString *error);

    QSize size() const { return m_size; }
    // Overviews in the raster or beside it, GDAL's own.
    bool hasOverviews() const { return m_hasOverviews; }
    // True once reads go through overviews built for a raster without any (see overviewcache.h):
    // from opening when an earlier run built them, or after `buildCachedOverviews`.
    bool usesCachedOverviews() const;
    // Builds overviews for a raster without any in the user's cache, once per content of the
    // file; reads then use them. False with the reason in `error` (never empty) when it failed or
    // was stopped. Slow: every pixel is read. Any thread; `progress` as for `read`.
    // Logically const: the pixels read stay the same, only faster to reach.
    bool buildCachedOverviews(QString *error, const std::function<bool(double)> &progress) const;
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
    void takeCachedOverviews(const QString &path);
    void switchTo(GDALDatasetH cached) const;
    GDALDatasetH acquire() const;
    void release(GDALDatasetH dataset) const;
    QImage readBytes(GDALDatasetH dataset, const QRect &window, const QSize &size,
                     const Progress &progress, QString *error) const;
    QImage readScaled(GDALDatasetH dataset, const QRect &window, const QSize &size,
                      const Progress &progress, QString *error) const;

    // Set while opening, read-only afterwards.
    QByteArray m_path;             // absolute, as the cached overviews' VRT names it
    QList<QByteArray> m_siblings;  // the side files GDAL may read beside it, by name
    QString m_cacheEntry;          // where the overviews of a raster without any are cached
    QSize m_size;
    bool m_hasOverviews = false;
    std::optional<TWorldFile> m_world;
    QString m_crs;
    Kind m_kind = Kind::Gray;
    QVector<QRgb> m_palette;              // premultiplied
    double m_minimum = 0, m_maximum = 1;  // Kind::Scaled: the values drawn black and white

    mutable std::mutex m_mutex;
    mutable std::vector<GDALDatasetH> m_idle;  // guarded by m_mutex: handles no read is using
    mutable bool m_cached = false;  // guarded by m_mutex: reads open m_cacheEntry, not m_path
};
