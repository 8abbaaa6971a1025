#include "geotagger.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

#include "map/format.h"

Geotagger::Geotagger(QObject *parent) : QObject(parent) {
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { scan(true); });
}

void Geotagger::setFolder(const QString &folder) {
    if (!m_watcher.directories().isEmpty()) m_watcher.removePaths(m_watcher.directories());
    m_folder = folder;
    m_known.clear();
    // A missing folder is watched from the next change of settings on; nothing to list meanwhile.
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) m_watcher.addPath(folder);
    scan(false);
}

void Geotagger::setFix(double latitude, double longitude, double altitude) {
    m_fix = Fix{latitude, longitude, altitude, m_now()};
}

std::optional<Geotagger::Fix> Geotagger::currentFix() const {
    if (!m_fix || m_now() - m_fix->at > kFixLifetime) return std::nullopt;
    return m_fix;
}

void Geotagger::scan(bool tag) {
    std::printf("Check dir:%d\n", tag ? 1 : 0);
    std::fflush(stdout);
    if (m_folder.isEmpty()) return;
    const QStringList names =
        QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString &name : names) {
        if (!isPicture(name) || m_known.contains(name)) continue;
        m_known.append(name);  // before the report, whose event loop may scan again
        if (tag) this->tag(m_folder + QLatin1Char('/') + name);
    }
}

void Geotagger::tag(const QString &picture) {
    const std::optional<Fix> fix = currentFix();
    if (!fix) {
        emit failed(picture, tr("GPS information not available!"));
        return;
    }
    const QString sidecar = sidecarPath(picture);
    QString error;
    if (!writeSidecar(sidecar, sidecarText(fix->latitude, fix->longitude, fix->altitude), &error)) {
        emit failed(picture, error);
        return;
    }
    emit tagged(picture, sidecar);
}

bool Geotagger::isPicture(const QString &fileName) {
    return QFileInfo(fileName).completeSuffix().toUpper() == QLatin1String("JPG");
}

QString Geotagger::sidecarPath(const QString &picture) {
    const QFileInfo info(picture);
    return info.absolutePath() + QLatin1Char('/') + info.baseName() + QStringLiteral(".gps");
}

QByteArray Geotagger::sidecarText(double latitude, double longitude, double altitude) {
    const QString line = formatGpsCoords(latitude, 1) + QLatin1Char(' ') +
                         formatGpsCoords(longitude, 0) + QLatin1Char(' ') +
                         QStringLiteral("%1m").arg(altitude, 0, 'f', 0) + QLatin1Char('\n');
    return line.toUtf8();
}

bool Geotagger::writeSidecar(const QString &path, const QByteArray &text, QString *error) {
    // Written aside and renamed over the old file: an older, longer sidecar leaves nothing behind,
    // and a write cut short leaves the old file as it was.
    QSaveFile file(path);
    const bool ok =
        file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    if (!ok && error)
        *error = tr("GPS information could not be saved to %1: %2")
                     .arg(QDir::toNativeSeparators(path), file.errorString());
    return ok;
}
