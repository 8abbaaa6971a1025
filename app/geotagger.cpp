#include "geotagger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "map/format.h"

namespace {

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A new file beside `path` under a name no one can have prepared: O_EXCL refuses any existing
// entry, a link included. The name starts with a dot so that file managers hide it meanwhile.
int createBeside(const QString &path, mode_t mode, QByteArray *name) {
    const QFileInfo info(path);
    for (int attempt = 0; attempt < 16; ++attempt) {
        *name = QFile::encodeName(info.path() + QStringLiteral("/.") + info.fileName() +
                                  QLatin1Char('.') +
                                  QString::number(QRandomGenerator::global()->generate(), 16));
        const int fd =
            ::open(name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

namespace {
constexpr int kLookForFolderMs = 2000;
}  // namespace

Geotagger::Geotagger(QObject *parent) : QObject(parent) {
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (m_present && QFileInfo(m_folder).isDir())
            scan(true);
        else
            watch();  // the folder went away, or something changed where it is awaited
    });
    m_lookForFolder.setInterval(kLookForFolderMs);
    connect(&m_lookForFolder, &QTimer::timeout, this, &Geotagger::watch);
}

void Geotagger::setFolder(const QString &folder) {
    m_folder = folder;
    m_known.clear();
    watch();
}

void Geotagger::watch() {
    if (!m_watcher.directories().isEmpty()) m_watcher.removePaths(m_watcher.directories());
    if (m_folder.isEmpty() || QFileInfo(m_folder).isDir()) {
        m_lookForFolder.stop();
        if (!m_folder.isEmpty()) m_watcher.addPath(m_folder);
        setPresent(true);
        // What a folder holds when it appears was not taken now, so it says nothing of here.
        scan(false);
        return;
    }
    QString above = QFileInfo(m_folder).absolutePath();
    while (!QFileInfo(above).isDir() && above != QDir::rootPath())
        above = QFileInfo(above).absolutePath();
    m_watcher.addPath(above);
    m_lookForFolder.start();
    m_known.clear();  // whatever the folder holds when it is back is listed afresh
    setPresent(false);
}

void Geotagger::setPresent(bool present) {
    if (present == m_present) return;
    m_present = present;
    emit folderPresentChanged(present);
}

void Geotagger::setFix(double latitude, double longitude, double altitude) {
    m_fix = Fix{latitude, longitude, altitude, m_now()};
}

std::optional<Geotagger::Fix> Geotagger::currentFix() const {
    if (!m_fix || m_now() - m_fix->at > kFixLifetime) return std::nullopt;
    return m_fix;
}

QStringList Geotagger::knownPictures() const {
    QStringList names(m_known.cbegin(), m_known.cend());
    names.sort();
    return names;
}

void Geotagger::scan(bool tag) {
    if (m_folder.isEmpty() || !m_present) return;
    const QStringList names =
        QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString &name : names) {
        if (!isPicture(name) || m_known.contains(name)) continue;
        m_known.insert(name);  // before the report, whose event loop may scan again
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
    // Plain string work: a folder of thousands of pictures is checked name by name on every change.
    const qsizetype dot = fileName.indexOf(QLatin1Char('.'));
    return dot >= 0 && QStringView(fileName).mid(dot + 1).compare(QLatin1String("jpg"),
                                                                  Qt::CaseInsensitive) == 0;
}

QString Geotagger::sidecarPath(const QString &picture) {
    const QFileInfo info(picture);
    return info.absolutePath() + QLatin1Char('/') + info.baseName() + QStringLiteral(".gps");
}

QByteArray Geotagger::sidecarText(double latitude, double longitude, double altitude) {
    const QString line = formatGpsCoords(latitude, 1) + QLatin1Char(' ') +
                         formatGpsCoords(longitude, 0) + QLatin1Char(' ') +
                         formatAltitude(altitude) + QLatin1Char('\n');
    return line.toUtf8();
}

bool Geotagger::writeSidecar(const QString &path, const QByteArray &text, QString *error) {
    const QString shown = QDir::toNativeSeparators(path);
    const auto fail = [&](const QString &message) {
        if (error) *error = message;
        return false;
    };
    const auto notSaved = [&](const QString &reason) {
        return fail(tr("GPS information could not be saved to %1: %2").arg(shown, reason));
    };
    // Anyone who can write to the picture folder can put a link, a FIFO or a device under the
    // sidecar's name; writing through it would change a file elsewhere or block.
    const QByteArray target = QFile::encodeName(path);
    mode_t mode = 0666;  // narrowed by the umask
    struct stat st;
    if (::lstat(target.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return fail(tr("GPS information was not saved: %1 is not a regular file").arg(shown));
        if (st.st_uid != ::geteuid())
            return fail(tr("GPS information was not saved: %1 belongs to another user").arg(shown));
        mode = st.st_mode & 0777;
    } else if (errno != ENOENT) {
        return notSaved(errnoText(errno));
    }

    // Written aside and renamed over the sidecar's name: rename(2) replaces the entry itself, so a
    // link swapped in after the check above is replaced, never its target; an older, longer
    // sidecar leaves nothing behind, and a write cut short leaves the old file as it was.
    QByteArray temporary;
    const int fd = createBeside(path, mode, &temporary);
    if (fd < 0) return notSaved(errnoText(errno));
    QString reason;
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        reason = file.errorString();
    } else if (file.write(text) != text.size() || !file.flush()) {
        reason = file.errorString();
    } else if (::fsync(fd) != 0) {
        reason = errnoText(errno);
    }
    file.close();
    if (reason.isEmpty() && ::rename(temporary.constData(), target.constData()) == 0) return true;
    if (reason.isEmpty()) reason = errnoText(errno);
    ::unlink(temporary.constData());
    return notSaved(reason);
}
