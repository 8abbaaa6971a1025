#include "overviewcache.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>
#include <filesystem>
#include <vector>

namespace {
// Overviews stop at the first level no more than this many pixels a side.
constexpr int kSmallestOverviewSide = 512;

QString gdalError(const QString &fallback) {
    const char *text = CPLGetLastErrorMsg();
    return text && *text ? QString::fromUtf8(text) : fallback;
}

QByteArray hexHash(const QByteArray &data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex().left(20);
}

// Entries are named "<hash of the path>-<hash of size and time>.vrt": the first part finds the
// raster's former entries, the second tells them from the current one.
QString pathPrefix(const QString &entry) {
    const QString name = QFileInfo(entry).fileName();
    return name.left(name.indexOf('-') + 1);
}

GDALDatasetH openVrt(const QString &path) {
    static const char *const kVrtOnly[] = {"VRT", nullptr};
    // GDAL looks at no folder itself (rastersource.cpp): the entry's overviews are named to it.
    const QByteArray ovr = QFile::encodeName(QFileInfo(path).fileName() + QLatin1String(".ovr"));
    const char *const siblings[] = {ovr.constData(), nullptr};
    return GDALOpenEx(QFile::encodeName(path).constData(),
                      GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, kVrtOnly, nullptr,
                      siblings);
}

int CPL_STDCALL reportProgress(double done, const char *, void *data) {
    return (*static_cast<const std::function<bool(double)> *>(data))(done) ? TRUE : FALSE;
}

bool writeVrt(GDALDatasetH source, const QString &path, QString *error) {
    GDALDatasetH vrt = GDALCreateCopy(GDALGetDriverByName("VRT"), QFile::encodeName(path), source,
                                      FALSE, nullptr, nullptr, nullptr);
    if (vrt) GDALClose(vrt);  // written out on closing
    if (vrt && QFileInfo(path).isFile()) return true;
    *error = gdalError(
        QCoreApplication::translate("TMapScene", "the overview index could not be written"));
    return false;
}

// A thread-local GDAL setting for the life of the object.
class LocalOption {
public:
    LocalOption(const char *key, const char *value)
        : m_key(key), m_former(CPLGetThreadLocalConfigOption(key, nullptr)) {
        CPLSetThreadLocalConfigOption(key, value);
    }
    ~LocalOption() {
        CPLSetThreadLocalConfigOption(m_key, m_former.isNull() ? nullptr : m_former.constData());
    }
    LocalOption(const LocalOption &) = delete;
    LocalOption &operator=(const LocalOption &) = delete;

private:
    const char *m_key;
    QByteArray m_former;
};

bool buildOvr(const QString &vrtPath, const std::function<bool(double)> &progress, QString *error) {
    GDALDatasetH vrt = openVrt(vrtPath);
    if (!vrt) {
        *error = gdalError(
            QCoreApplication::translate("TMapScene", "the overview index could not be read back"));
        return false;
    }
    const int side = std::max(GDALGetRasterXSize(vrt), GDALGetRasterYSize(vrt));
    std::vector<int> levels;
    for (int factor = 2;; factor *= 2) {
        levels.push_back(factor);
        if ((side + factor - 1) / factor <= kSmallestOverviewSide) break;
    }
    // Compressed: a survey map is mostly flat colour, and the cache is the user's disk.
    const LocalOption compress("COMPRESS_OVERVIEW", "DEFLATE");
    const LocalOption bigTiff("BIGTIFF_OVERVIEW", "IF_SAFER");
    const CPLErr result = GDALBuildOverviews(vrt, "AVERAGE", int(levels.size()), levels.data(), 0,
                                             nullptr, progress ? reportProgress : nullptr,
                                             const_cast<std::function<bool(double)> *>(&progress));
    GDALClose(vrt);
    if (result == CE_None) return true;
    *error =
        gdalError(QCoreApplication::translate("TMapScene", "the overviews could not be built"));
    return false;
}

// The complete files take the entry's names, the .ovr first: an entry is taken only with its VRT.
bool publish(const QString &part, const QString &entry, QString *error) {
    std::error_code failed;
    const std::filesystem::path from(QFile::encodeName(part).toStdString());
    const std::filesystem::path to(QFile::encodeName(entry).toStdString());
    std::filesystem::rename(from.string() + ".ovr", to.string() + ".ovr", failed);
    if (!failed) std::filesystem::rename(from, to, failed);
    if (!failed) return true;
    *error = QCoreApplication::translate("TMapScene", "the overviews could not be stored: %1")
                 .arg(QString::fromStdString(failed.message()));
    return false;
}

void removeMatching(QDir folder, const QString &pattern) {
    for (const QString &name : folder.entryList({pattern}, QDir::Files))
        folder.remove(name);
}

// A build holds the lock file "<entry>.<random>.part.lock" for its life. QLockFile writes the
// process into it and holds an flock on it: the lock of a build killed or cut off by a power
// failure is taken over, while that of a build still running, in this or another process, is
// not. Only after taking a build's lock are its files removed.
QString lockName(const QString &stem) {
    return stem + QStringLiteral(".lock");
}

bool takeLock(QLockFile &lock) {
    lock.setStaleLockTime(0);  // a build may run for an hour: stale only when its process is gone
    return lock.tryLock(0);
}

// Removes the files of killed builds, the raster's entries of former contents, and then the
// least recently used entries until the cache fits `budget`; never `entry` itself. An entry open
// now was touched when opened; should it go all the same, its open handles read on (an unlinked
// file lives until closed) and new ones fall back to the raster itself.
void tidy(QDir folder, const QString &entry, qint64 budget) {
    static const QRegularExpression kPart(
        QStringLiteral("^([0-9a-f]{20}-[0-9a-f]{20}\\.[0-9a-f]{8}\\.part)\\."));
    static const QRegularExpression kEntry(QStringLiteral("^[0-9a-f]{20}-[0-9a-f]{20}\\.vrt"));
    struct Entry {
        QStringList names;
        qint64 bytes = 0;
        QDateTime used;  // the VRT's modification time, touched on every open
    };
    QHash<QString, QStringList> parts;
    QHash<QString, Entry> entries;
    const QString kept = QFileInfo(entry).fileName();
    const QString raster = pathPrefix(entry);
    for (const QFileInfo &file : folder.entryInfoList(QDir::Files | QDir::NoSymLinks)) {
        const QString name = file.fileName();
        if (const QRegularExpressionMatch part = kPart.match(name); part.hasMatch()) {
            parts[part.captured(1)] << name;
        } else if (const QRegularExpressionMatch whole = kEntry.match(name); whole.hasMatch()) {
            Entry &found = entries[whole.captured()];
            found.names << name;
            found.bytes += file.size();
            if (name == whole.captured() || found.used.isNull()) found.used = file.lastModified();
        }
    }
    for (auto part = parts.cbegin(); part != parts.cend(); ++part) {
        QLockFile lock(lockName(folder.filePath(part.key())));
        if (!takeLock(lock)) continue;
        for (const QString &name : part.value())
            if (folder.filePath(name) != lock.fileName()) folder.remove(name);
    }
    std::vector<std::pair<QDateTime, const Entry *>> byUse;
    qint64 total = 0;
    for (auto found = entries.cbegin(); found != entries.cend(); ++found) {
        if (found.key() == kept) {
            total += found->bytes;
        } else if (found.key().startsWith(raster)) {
            // The raster's entries of former contents are never taken again.
            for (const QString &name : found->names)
                folder.remove(name);
        } else {
            total += found->bytes;
            byUse.emplace_back(found->used, &found.value());
        }
    }
    std::sort(byUse.begin(), byUse.end());
    for (auto oldest = byUse.cbegin(); total > budget && oldest != byUse.cend(); ++oldest) {
        for (const QString &name : oldest->second->names)
            folder.remove(name);
        total -= oldest->second->bytes;
    }
}
}  // namespace

QString overviewCacheEntry(const QString &rasterPath) {
    const QFileInfo raster(rasterPath);
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (!raster.isFile() || cache.isEmpty()) return {};
    const QByteArray state = QByteArray::number(raster.size()) + ' ' +
                             QByteArray::number(raster.lastModified().toMSecsSinceEpoch());
    return QDir(cache + QStringLiteral("/overviews"))
        .filePath(QString::fromLatin1(hexHash(raster.absoluteFilePath().toUtf8()) + '-' +
                                      hexHash(state) + ".vrt"));
}

GDALDatasetH overviewCacheOpen(const QString &entry) {
    if (entry.isEmpty() || !QFileInfo(entry).isFile()) return nullptr;
    GDALDatasetH dataset = openVrt(entry);
    if (dataset && GDALGetRasterCount(dataset) > 0 &&
        GDALGetOverviewCount(GDALGetRasterBand(dataset, 1)) > 0) {
        // Its last use, for the budget: access times are not kept on most mounts (noatime,
        // relatime), and the .ovr's time tells when it was built.
        utimensat(AT_FDCWD, QFile::encodeName(entry).constData(), nullptr, AT_SYMLINK_NOFOLLOW);
        return dataset;
    }
    if (dataset) GDALClose(dataset);
    return nullptr;
}

bool overviewCacheBuild(GDALDatasetH source, const QString &entry,
                        const std::function<bool(double)> &progress, QString *error,
                        qint64 budget) {
    const QDir folder = QFileInfo(entry).absoluteDir();
    if (entry.isEmpty() || !folder.mkpath(QStringLiteral("."))) {
        *error = QCoreApplication::translate("TMapScene", "no cache folder for the overviews");
        return false;
    }
    // Built under a name of its own, so that a stopped build, or another one of the same raster
    // running at the same time, never leaves a half-written file under the entry's name.
    const QString stem = QStringLiteral("%1.%2.part")
                             .arg(entry.chopped(4))
                             .arg(QRandomGenerator::global()->generate(), 8, 16, QChar('0'));
    {
        QLockFile lock(lockName(stem));
        if (!takeLock(lock)) {
            *error =
                QCoreApplication::translate("TMapScene", "the cache folder %1 cannot be written")
                    .arg(folder.path());
            return false;
        }
        const QString part = stem + QStringLiteral(".vrt");
        if (!writeVrt(source, part, error) || !buildOvr(part, progress, error) ||
            !publish(part, entry, error)) {
            removeMatching(folder, QFileInfo(part).fileName() + '*');
            return false;
        }
    }
    tidy(folder, entry, budget);
    return true;
}
