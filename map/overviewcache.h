#pragma once

#include <QString>
#include <functional>

typedef void *GDALDatasetH;

// Overviews of a raster that has none of its own, kept in the user's cache folder rather than
// beside the raster: the surveyor's folder may be read-only, shared or synchronised, and must not
// fill with files the program made. An entry is a small VRT naming the raster by its absolute
// path, with GDAL's .ovr beside it; GDAL serves reduced reads of the VRT from that .ovr as it
// would from the raster's own overviews.
//
// An entry is named after the raster's absolute path, size and modification time, so that a
// changed raster never finds the entry of its former content. Any thread.

// The entry's VRT for the raster as it is now; empty when the raster cannot be looked at or the
// user has no cache folder.
QString overviewCacheEntry(const QString &rasterPath);

// The entry opened, when complete, and its use recorded; null otherwise.
GDALDatasetH overviewCacheOpen(const QString &entry);

// The cache's total size, kept by removing the least recently opened entries.
constexpr qint64 kOverviewCacheBudget = qint64(2) << 30;

// Builds `entry` for the raster open as `source` (opened by its absolute path). `progress`
// hears the share done and stops the build by returning false. A build that fails or is stopped
// leaves nothing a later open would take. On success the files of builds killed before, the
// raster's former entries and, beyond `budget` bytes in all, the least recently opened entries
// are removed; never the entry just built.
bool overviewCacheBuild(GDALDatasetH source, const QString &entry,
                        const std::function<bool(double)> &progress, QString *error,
                        qint64 budget = kOverviewCacheBudget);
