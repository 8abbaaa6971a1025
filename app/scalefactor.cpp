#include "scalefactor.h"

#include <QDir>
#include <QSettings>

namespace {
const QString kKey = QStringLiteral("ScaleFactor");
}  // namespace

QString scaleFactorFile(const QString &folder) {
    const QString dir = folder.isEmpty() ? QDir::currentPath() : folder;
    return dir + QStringLiteral("/scale_factor.ini");
}

int readScaleFactor(const QString &file) {
    QSettings ini(file, QSettings::IniFormat);
    bool ok = false;
    const int percent = ini.value(kKey, kDefaultScaleFactor).toInt(&ok);
    if (!ok || percent < kMinScaleFactor || percent > kMaxScaleFactor) return kDefaultScaleFactor;
    return percent;
}

bool writeScaleFactor(const QString &file, int percent, QString *error) {
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
