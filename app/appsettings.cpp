#include "appsettings.h"

#include <QDir>

#include <cmath>

#include "scalefactor.h"

namespace {

const QString kGeometry = QStringLiteral("MainWindowGeometry");
const QString kState = QStringLiteral("MainWindowState");
const QString kInfoTab = QStringLiteral("InfoTabSheet");
const QString kMapZoom = QStringLiteral("Map/ScaleFactor");
const QString kMapPath = QStringLiteral("MapPath");
const QString kPicPath = QStringLiteral("PicPath");
const QString kTrackR = QStringLiteral("TrackR");
const QString kMapPoints = QStringLiteral("MapPoints");
const QString kTrackColoursKey = QStringLiteral("TrackColorInfo");
const QString kThreshold = QStringLiteral("Threshold");
const QString kColour = QStringLiteral("Color");
const QString kDoseRateAlarm = QStringLiteral("Alarm/DoseRate");
const QString kCountRateAlarm = QStringLiteral("Alarm/CountRate");
const QString kShowGps = QStringLiteral("ShowGps");
const QString kLastSurvey = QStringLiteral("LastSurvey");
const QString kDays = QStringLiteral("DaysDelta");
const QString kHours = QStringLiteral("HoursDelta");
const QString kWindow = QStringLiteral("SelectDelta");
const QString kConnectTab = QStringLiteral("ConnectDialog/tab");
const QString kReconnectLast = QStringLiteral("Devices/ReconnectLast");
const QString kReconnectAttempts = QStringLiteral("Devices/ReconnectAttempts");
QString instrumentKey(int panel, const char *field) {
    return QStringLiteral("Devices/Panel%1/%2").arg(panel).arg(QLatin1String(field));
}

constexpr int kDefaultReconnectAttempts = 60;  // some ten minutes of attempts

constexpr double kDefaultTrackRadius = 2.0;
constexpr double kDefaultMapZoom = 1.0;

const QList<AppSettings::TrackColour> &defaultTrackColours() {
    static const QList<AppSettings::TrackColour> colours{{200, QColor(255, 255, 255)},
                                                         {300, QColor(255, 0, 0)},
                                                         {500, QColor(128, 128, 128)},
                                                         {10000, QColor(230, 230, 0)},
                                                         {100000, QColor(255, 255, 255)}};
    return colours;
}

}  // namespace

AppSettings::AppSettings() : m_store(QStringLiteral("Corvanta"), QStringLiteral("Survokart")) {}

QByteArray AppSettings::mainWindowGeometry() const {
    return m_store.value(kGeometry).toByteArray();
}
void AppSettings::setMainWindowGeometry(const QByteArray &geometry) {
    m_store.setValue(kGeometry, geometry);
}
QByteArray AppSettings::mainWindowState() const {
    return m_store.value(kState).toByteArray();
}
void AppSettings::setMainWindowState(const QByteArray &state) {
    m_store.setValue(kState, state);
}
int AppSettings::infoTab() const {
    return m_store.value(kInfoTab, 0).toInt();
}
void AppSettings::setInfoTab(int index) {
    m_store.setValue(kInfoTab, index);
}
double AppSettings::mapZoom() const {
    return m_store.value(kMapZoom, kDefaultMapZoom).toDouble();
}
void AppSettings::setMapZoom(double zoom) {
    m_store.setValue(kMapZoom, zoom);
}

QString AppSettings::mapPath() const {
    return m_store.value(kMapPath).toString();
}
void AppSettings::setMapPath(const QString &path) {
    m_store.setValue(kMapPath, path);
}
QString AppSettings::picturePath() const {
    return m_store.value(kPicPath).toString();
}
void AppSettings::setPicturePath(const QString &path) {
    m_store.setValue(kPicPath, path);
}
double AppSettings::trackRadius() const {
    return m_store.value(kTrackR, kDefaultTrackRadius).toDouble();
}
void AppSettings::setTrackRadius(double radius) {
    m_store.setValue(kTrackR, radius);
}
int AppSettings::mapPoints() const {
    return m_store.value(kMapPoints, 0).toInt();
}
void AppSettings::setMapPoints(int mapPoints) {
    m_store.setValue(kMapPoints, mapPoints);
}

QList<AppSettings::TrackColour> AppSettings::trackColours() const {
    QList<TrackColour> colours = defaultTrackColours();
    // The stored array's own size is not trusted: every step is read, and kept where absent.
    m_store.beginReadArray(kTrackColoursKey);
    for (int i = 0; i < colours.size(); ++i) {
        m_store.setArrayIndex(i);
        colours[i].threshold = m_store.value(kThreshold, colours[i].threshold).toDouble();
        colours[i].colour = m_store.value(kColour, colours[i].colour).value<QColor>();
    }
    m_store.endArray();
    return colours;
}

void AppSettings::setTrackColours(const QList<TrackColour> &colours) {
    m_store.beginWriteArray(kTrackColoursKey, -1);
    for (int i = 0; i < colours.size(); ++i) {
        m_store.setArrayIndex(i);
        m_store.setValue(kThreshold, colours[i].threshold);
        m_store.setValue(kColour, QVariant::fromValue(colours[i].colour));
    }
    m_store.endArray();
}

int AppSettings::scaleFactor() const {
    return readScaleFactor(scaleFactorFile());
}
bool AppSettings::setScaleFactor(int percent, QString *error) {
    return writeScaleFactor(scaleFactorFile(), percent, error);
}

AppSettings::AlarmThresholds AppSettings::alarmThresholds() const {
    // A value that is no positive number is off.
    auto read = [this](const QString &key) {
        bool ok = false;
        const double value = m_store.value(key, 0).toDouble(&ok);
        return ok && std::isfinite(value) && value > 0 ? value : 0.0;
    };
    return {read(kDoseRateAlarm), read(kCountRateAlarm)};
}
void AppSettings::setAlarmThresholds(const AlarmThresholds &thresholds) {
    m_store.setValue(kDoseRateAlarm, thresholds.doseRate);
    m_store.setValue(kCountRateAlarm, thresholds.countRate);
}

bool AppSettings::showGps() const {
    return m_store.value(kShowGps, false).toBool();
}
void AppSettings::setShowGps(bool show) {
    m_store.setValue(kShowGps, show);
}

QString AppSettings::lastSurvey() const {
    return m_store.value(kLastSurvey).toString();
}
void AppSettings::setLastSurvey(const QString &path) {
    m_store.setValue(kLastSurvey, path);
}

std::optional<QString> AppSettings::text(const QString &key) const {
    if (!m_store.contains(key)) return std::nullopt;
    return m_store.value(key).toString();
}
std::optional<QString> AppSettings::downloadDays() const {
    return text(kDays);
}
std::optional<QString> AppSettings::downloadHours() const {
    return text(kHours);
}
int AppSettings::downloadWindow() const {
    return m_store.value(kWindow, 0).toInt();
}
void AppSettings::setDownloadPeriod(int days, int hours, int window) {
    m_store.setValue(kDays, days);
    m_store.setValue(kHours, hours);
    m_store.setValue(kWindow, window);
}

int AppSettings::connectTab() const {
    return m_store.value(kConnectTab, 0).toInt();
}
void AppSettings::setConnectTab(int index) {
    m_store.setValue(kConnectTab, index);
}

bool AppSettings::reconnectLastInstruments() const {
    return m_store.value(kReconnectLast, true).toBool();
}
void AppSettings::setReconnectLastInstruments(bool on) {
    m_store.setValue(kReconnectLast, on);
}
int AppSettings::reconnectAttempts() const {
    return qMax(0, m_store.value(kReconnectAttempts, kDefaultReconnectAttempts).toInt());
}
void AppSettings::setReconnectAttempts(int attempts) {
    m_store.setValue(kReconnectAttempts, attempts);
}

AppSettings::Instrument AppSettings::lastInstrument(int panel) const {
    return {m_store.value(instrumentKey(panel, "ConnString")).toString(),
            m_store.value(instrumentKey(panel, "Serial")).toString()};
}
void AppSettings::setLastInstrument(int panel, const Instrument &instrument) {
    m_store.setValue(instrumentKey(panel, "ConnString"), instrument.connString);
    m_store.setValue(instrumentKey(panel, "Serial"), instrument.serial);
}

bool AppSettings::sync(QString *error) {
    m_store.sync();
    if (m_store.status() == QSettings::NoError) return true;
    if (error)
        *error = tr("The settings could not be saved to %1.")
                     .arg(QDir::toNativeSeparators(m_store.fileName()));
    return false;
}
