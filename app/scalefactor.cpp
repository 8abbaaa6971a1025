#include "scalefactor.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {
const QString kKey = QStringLiteral("ScaleFactor");
const QString kFileName = QStringLiteral("scale_factor.ini");
// One key of a few bytes: anything much larger is not this file.
constexpr qint64 kMaxFileBytes = 64 * 1024;
}  // namespace

QString scaleFactorFile() {
    // The folder of the application's own settings, wherever the platform (or a test) puts it.
    const QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Corvanta"),
                          QStringLiteral("Survokart"));
    return QFileInfo(store.fileName()).absolutePath() + QLatin1Char('/') + kFileName;
}

QString oldScaleFactorFile() {
    return QDir::currentPath() + QLatin1Char('/') + kFileName;
}

int readScaleFactor(const QString &file) {
    // The working folder may hold anything under this name: a FIFO would block, a huge file stall.
    const QFileInfo info(file);
    if (!info.isFile() || info.size() > kMaxFileBytes) return kDefaultScaleFactor;
    QSettings ini(file, QSettings::IniFormat);
    bool ok = false;
    const int percent = ini.value(kKey, kDefaultScaleFactor).toInt(&ok);
    if (!ok || percent < kMinScaleFactor || percent > kMaxScaleFactor) return kDefaultScaleFactor;
    return percent;
}

bool writeScaleFactor(const QString &file, int percent, QString *error) {
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSettings ini(file, QSettings::IniFormat);
    ini.setValue(kKey, percent);
    ini.sync();
    if (ini.status() == QSettings::NoError) return true;
    if (error) *error = QObject::tr("Could not write %1.").arg(QDir::toNativeSeparators(file));
    return false;
}

QByteArray scaleFactorValue(int percent) {
    return QString::number(percent / 100.0, 'f', 1).toLatin1();
}

int applyScaleFactor(const QString &file) {
    const int percent = readScaleFactor(file);
    qputenv("QT_SCALE_FACTOR", scaleFactorValue(percent));
    return percent;
}

int applyStoredScaleFactor() {
    const QString file = scaleFactorFile();
    const QString old = oldScaleFactorFile();
    if (!QFileInfo::exists(file) && QFileInfo(old).isFile())
        writeScaleFactor(file, readScaleFactor(old), nullptr);  // a failure leaves the default
    return applyScaleFactor(file);
}
