#include "devicestatuswidget.h"

#include <QImage>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QSignalBlocker>
#include <QTimer>
#include <vector>

#include "appresources.h"
#include "appsettings.h"
#include "connectdialog.h"
#include "device/commandqueue.h"
#include "device/m17protocol.h"
#include "device/m30protocol.h"
#include "device/mxxdevice.h"
#include "device/mxxseeker.h"
#include "device/surveyrecord.h"
#include "downloaddialog.h"
#include "linkkeeper.h"
#include "log.h"
#include "map/format.h"
#include "mxx/mxx.h"
#include "ui_devicestatuswidget.h"
#include "watchbar.h"

namespace {

// The instrument's keys, as Linux input-event codes.
constexpr int kKeyOk = 28, kKeyUp = 103, kKeyLeft = 105, kKeyRight = 106, kKeyDown = 108;
constexpr int kRestartAttempts = 10;
constexpr int kDisplayBufferBytes = 160000;
constexpr int kDisplayPictureKind = 8;

QString shortSerial(const QString &serial) {
    return serial.mid(4, 4);
}

// Coalescing keys of the panel's commands: a request already on its way is not sent twice.
const QString kDisplayCommand = QStringLiteral("display");
QString recordCommand(int on) {
    return QStringLiteral("record %1").arg(on);
}
const QString kRestartCommand = QStringLiteral("restart");
QString keyCommand(int code) {
    return QStringLiteral("key %1").arg(code);
}

}  // namespace

DeviceStatusWidget::DeviceStatusWidget(QWidget *parent)
    : QWidget(parent),
      ui(std::make_unique<Ui::DeviceStatusWidget>()),
      m_seeker(QSharedPointer<MXXSeeker>::create()),
      m_device(QSharedPointer<MXXDevice>::create()),
      m_displayTimer(QSharedPointer<QTimer>::create()),
      m_m17Protocol(std::make_shared<M17Protocol>()),
      m_m30Protocol(std::make_shared<M30Protocol>()),
      m_reconnectTimer(new QTimer(this)),
      m_keeper(new LinkKeeper(this)) {
    initAppResources();
    ui->setupUi(this);
    m_watch = new InstrumentWatch(this);
    m_watch->attach(*m_m30Protocol, *m_device);
    m_watchBar = new WatchBar(*m_watch, this, m_order);
    // The watch row takes the room of the connected page's margins and of some spacing: three
    // panels, each with a row more, still fit a 1366 x 768 screen.
    ui->gridLayout->setContentsMargins(0, 0, 0, 0);
    ui->gridLayout->setVerticalSpacing(2);
    ui->verticalLayout->setSpacing(2);
    ui->verticalLayout->setContentsMargins(6, 4, 6, 4);
    ui->verticalLayout->addWidget(m_watchBar);
    m_connectDialog = QSharedPointer<ConnectDialog>::create(m_seeker, this);
    connectSignals();
    connect(m_displayTimer.get(), &QTimer::timeout, this, &DeviceStatusWidget::updateDeviceDisplay);
    m_reconnectTimer->setSingleShot(true);
    connect(m_reconnectTimer, &QTimer::timeout, this, &DeviceStatusWidget::deviceConnect);
    connect(m_keeper, &LinkKeeper::attemptDue, this, &DeviceStatusWidget::attemptReconnection);
    connect(m_keeper, &LinkKeeper::changed, this, &DeviceStatusWidget::showLinkState);
    // An instrument plugged in again is tried at once rather than after the pause.
    connect(m_seeker.get(), &MXXSeeker::deviceUSBListChanged, m_keeper, &LinkKeeper::attemptNow);
    setOrder(m_order);
    updateStatus();
}

DeviceStatusWidget::~DeviceStatusWidget() {
    m_displayTimer->stop();
}

void DeviceStatusWidget::setOrder(int order) {
    m_order = order;
    m_watchBar->setDevNum(order);
    // The words of devices 2 and 3 carry a blank of their own.
    static const char *const kWords[] = {QT_TR_NOOP("one"), QT_TR_NOOP(" two"),
                                         QT_TR_NOOP(" three")};
    const int word = order == 2 || order == 3 ? order - 1 : 0;
    ui->btn_connect->setText(tr("Connect device %1").arg(tr(kWords[word])));
}

void DeviceStatusWidget::setConnectedDevices(QList<QString> devices) {
    m_connectedDevices = devices;
}

void DeviceStatusWidget::connectSignals() {
    connect(m_device.get(), &MXXDevice::connected, this, &DeviceStatusWidget::onDevConnected,
            Qt::QueuedConnection);
    connect(m_device.get(), &MXXDevice::disconnected, this, &DeviceStatusWidget::onDevDisconnected,
            Qt::QueuedConnection);
    connect(m_device.get(), &MXXDevice::connectionError, this,
            &DeviceStatusWidget::onDevConnectionError, Qt::QueuedConnection);
    connect(m_m30Protocol.get(), &M30Protocol::statusData, this,
            &DeviceStatusWidget::onDevStatusData, Qt::QueuedConnection);
    connect(m_m30Protocol.get(), &M30Protocol::totalData, this, &DeviceStatusWidget::onDevTotalData,
            Qt::QueuedConnection);
}

void DeviceStatusWidget::updateStatus() {
    // The mirror and the keys need an instrument; without one the mirror is off and says so.
    const bool connected = m_state == Connected;
    if (!connected) ui->comboBoxDisplay->setCurrentIndex(0);
    ui->comboBoxDisplay->setEnabled(connected);
    // A second connect while one is being opened would be refused by the device.
    ui->btn_connect->setEnabled(m_state != Connecting);
    showLinkState();
    if (!connected) {
        ui->stackedWidget->setCurrentIndex(0);
        return;
    }
    ui->lineEditSerial->setText(m_shortSerial);
    ui->stackedWidget->setCurrentIndex(1);
}

void DeviceStatusWidget::on_btn_connect_clicked() {
    if (!m_connectDialog->execute(m_connectedDevices)) return;
    m_connString = m_connectDialog->connectionString();
    qCDebug(lcApp) << "connecting to" << m_connString;
    stopReconnecting();  // the user's own choice, and its failure is shown
    // A new instrument: nothing of the last one is resumed.
    m_serial.clear();
    m_mirrorChoice = 0;
    m_recordChoice = -1;
    m_letGo = false;
    m_restarting = false;
    deviceConnect();
}

void DeviceStatusWidget::deviceConnect() {
    qCDebug(lcApp) << "automatic connection attempts left:" << m_repeatConnect;
    if (m_repeatConnect > 0) --m_repeatConnect;
    if (m_connString.isEmpty()) return;
    m_state = Connecting;
    updateStatus();
    if (m_device->connId() == -1) {
        openConnection();
        return;
    }
    // An instrument restarted behind a link that stayed up (a serial adapter) is recognised again
    // only on a new connection: this attempt goes on once the old link has ended.
    m_connectOnceClosed = true;
    m_device->disconnect();
}

void DeviceStatusWidget::openConnection() {
    if (!m_device->connect(m_connString)) attemptFailed();
}

// The next automatic attempt follows silently; the user hears of the failure once none is left.
// A lost link's attempts only ever speak in the panel.
void DeviceStatusWidget::attemptFailed() {
    if (m_keeper->active()) {
        m_keeper->attemptFailed();
        m_state = m_keeper->active() ? Reconnecting : ConnectionError;
        updateStatus();
        return;
    }
    m_state = ConnectionError;
    updateStatus();
    if (m_repeatConnect == 0) {
        m_restarting = false;
        showError(tr("Device connection error!"));
    } else {
        m_reconnectTimer->start(m_reconnectIntervalMs);
    }
}

void DeviceStatusWidget::stopReconnecting() {
    m_reconnectTimer->stop();
    m_repeatConnect = 0;
    m_keeper->stop();
}

void DeviceStatusWidget::attemptReconnection() {
    // Another panel took the instrument meanwhile: two clients of one link would fight.
    if (m_connectedDevices.contains(m_connString)) {
        attemptFailed();
        return;
    }
    deviceConnect();
}

void DeviceStatusWidget::linkLost() {
    qCDebug(lcApp) << "link lost, reconnecting to" << m_connString;
    m_keeper->lost();
    m_state = Reconnecting;
    updateStatus();
}

void DeviceStatusWidget::on_btn_stopReconnecting_clicked() {
    stopReconnecting();
    if (m_state == Connecting) {
        // The attempt on its way ends quietly, whatever its outcome.
        m_letGo = true;
        if (m_device->connId() != -1) m_device->disconnect();
        return;
    }
    m_state = Disconnected;
    updateStatus();
}

void DeviceStatusWidget::showLinkState() {
    QString text = m_keeper->text();
    if (text.isEmpty() && m_state == Connected)
        text = tr("Connected since %1")
                   .arg(QLocale().toString(m_connectedSince.time(), QLocale::ShortFormat));
    ui->linkState->setText(text);
    ui->btn_stopReconnecting->setVisible(m_keeper->active());
}

void DeviceStatusWidget::remember(bool keep) {
    if (m_order < 1 || m_order > 3) return;
    AppSettings().setLastInstrument(m_order, keep ? AppSettings::Instrument{m_connString, m_serial}
                                                  : AppSettings::Instrument{});
}

void DeviceStatusWidget::reconnectLastInstrument() {
    const AppSettings::Instrument last = AppSettings().lastInstrument(m_order);
    if (last.connString.isEmpty() || m_state != Disconnected) return;
    m_connString = last.connString;
    m_serial = last.serial;
    m_keeper->waitFor();
    m_state = Reconnecting;
    updateStatus();
}

// Connected once the instrument's serial has been read and its events let through: the panel
// announces the connection with the serial.
void DeviceStatusWidget::onDevConnected() {
    const quint64 session = ++m_session;
    if (m_letGo) {  // stopped while it was being opened
        m_device->disconnect();
        return;
    }
    m_device->registerProtocol(m_m17Protocol);
    m_device->registerProtocol(m_m30Protocol);
    m_reconnectTimer->stop();
    m_repeatConnect = 0;
    // The serial comes first: no reading flows before the instrument is known to be this panel's.
    m_device->commands().post(
        this, QString(), [p = m_m17Protocol] { return p->getSerial(); },
        [this, session](const QString &serial) {
            if (session != m_session) return;  // the connection this was read on has ended
            // After a loss, whatever answers at the old address must be the same instrument, or
            // its readings would go out under this panel's.
            if (m_keeper->active() && !m_serial.isEmpty() && serial != m_serial) {
                qCWarning(lcApp) << "expected instrument" << m_serial << "but" << serial
                                 << "answered at" << m_connString;
                m_attemptAbandoned = true;
                m_device->disconnect();
                return;
            }
            // Events the filter lets through may overtake its answer: they carry the serial too.
            m_serial = serial;
            m_device->commands().post(
                this, QString(),
                [p = m_m30Protocol] { return p->setEventFilter(M30_EVENT_FILTER_ALL); },
                [this, session, serial](bool set) {
                    if (session != m_session) return;
                    // Back without its events the link would only look restored: try again.
                    if (!set && m_keeper->active()) {
                        m_attemptAbandoned = true;
                        m_device->disconnect();
                        return;
                    }
                    becameConnected(serial);
                });
        });
}

void DeviceStatusWidget::becameConnected(const QString &serial) {
    m_state = Connected;
    m_serial = serial;
    m_shortSerial = shortSerial(serial);
    m_connectedSince = QDateTime::currentDateTime();
    m_keeper->stop();
    m_letGo = false;
    m_restarting = false;
    updateStatus();
    // What the user had on before the link went: the mirror and the survey recording.
    if (m_mirrorChoice != 0) ui->comboBoxDisplay->setCurrentIndex(m_mirrorChoice);
    if (m_recordChoice >= 0) {
        QSignalBlocker quiet(ui->comboBoxRecord);
        ui->comboBoxRecord->setCurrentIndex(m_recordChoice);
        sendRecording(m_recordChoice);
    }
    remember(true);
    m_announced = true;
    emit deviceConnection(m_connString, true, m_shortSerial, m_order);
}

void DeviceStatusWidget::onDevDisconnected() {
    const int was = m_state;
    ++m_session;
    m_device->commands().cancel();
    reflectCommands();
    m_shortSerial.clear();
    if (m_announced) {
        m_announced = false;
        emit deviceConnection(m_connString, false, QString(), m_order);
    }
    if (m_connectOnceClosed) {
        m_connectOnceClosed = false;
        openConnection();
        return;
    }
    if (m_attemptAbandoned) {
        m_attemptAbandoned = false;
        attemptFailed();
        return;
    }
    const bool letGo = m_letGo || m_restarting;
    m_letGo = false;
    if (!letGo && m_keeper->active()) {
        attemptFailed();  // opened, but gone before it was known
        return;
    }
    if (!letGo && was == Connected) {
        linkLost();
        return;
    }
    m_serial.clear();
    m_state = Disconnected;
    updateStatus();
}

void DeviceStatusWidget::onDevConnectionError() {
    ++m_session;
    if (m_letGo) {
        m_letGo = false;
        m_state = Disconnected;
        updateStatus();
        return;
    }
    attemptFailed();
}

void DeviceStatusWidget::showError(const QString &text) {
    QMessageBox::critical(this, tr("Error"), text, QMessageBox::Ok);
}

void DeviceStatusWidget::on_btn_restartDevice_clicked() {
    m_restarting = true;
    const bool posted = m_device->commands().post(
        this, kRestartCommand, [p = m_m17Protocol] { return p->restart(); },
        [this](bool) {
            reflectCommands();
            m_repeatConnect = kRestartAttempts;
            m_reconnectTimer->start(m_reconnectIntervalMs);
        });
    if (posted) reflectCommands();
}

void DeviceStatusWidget::on_btn_disconnectDevice_clicked() {
    stopReconnecting();  // the user wants the instrument let go, not reconnected
    m_connectOnceClosed = false;
    m_letGo = true;
    m_restarting = false;
    m_mirrorChoice = 0;
    m_recordChoice = -1;
    remember(false);  // nor looked for at the next start
    m_device->disconnect();
}

QString DeviceStatusWidget::errorText(uint16_t errorFlags) {
    if (errorFlags == 0) return tr("No errors");
    QString text;
    for (int bit = 0; bit < M30_ERROR_FLAG_COUNT; ++bit) {
        if (!(errorFlags & (1u << bit))) continue;
        // Every name but the first of the list carries a leading space, present or not.
        if (bit > 0) text += QLatin1Char(' ');
        text += QLatin1String(M30_ERROR_FLAG_NAMES[bit]);
    }
    return text;
}

void DeviceStatusWidget::onDevStatusData(std::shared_ptr<M30_status> status) {
    if (!status) return;
    {
        // Follows the instrument without echoing its state back: a status sent before the user's
        // own choice arrived would otherwise undo that choice.
        QSignalBlocker quiet(ui->comboBoxRecord);
        ui->comboBoxRecord->setCurrentIndex(status->survey_recording != 0 ? 1 : 0);
    }
    ui->lineEditSystemStatus->setText(errorText(status->error_flags));
    const double latitude = status->gps_latitude;
    const double longitude = status->gps_longitude;
    const double altitude = status->gps_altitude;
    SurveyReading live;
    live.timeMs = QDateTime::currentMSecsSinceEpoch();
    live.instrument = m_order;
    live.serial = m_serial;
    live.countRate = m_cps;
    live.doseRate = m_doseRate;
    live.doseUnit = m_doseUnit;
    // A fix flag over garbage coordinates is no fix.
    live.fix = status->gps_valid != 0 && surveyPointUsable({latitude, longitude, altitude, 0, 0});
    if (!live.fix) {
        for (QLineEdit *e : {ui->lineEdit_lat, ui->lineEdit_lon, ui->lineEdit_alt})
            e->setText(QStringLiteral("-"));
        emit reading(live);
        return;
    }
    live.latitude = latitude;
    live.longitude = longitude;
    live.altitude = altitude;
    ui->lineEdit_lat->setText(formatGpsCoords(latitude, 1));
    ui->lineEdit_lon->setText(formatGpsCoords(longitude, 0));
    ui->lineEdit_alt->setText(formatAltitude(altitude));
    emit liveFix(latitude, longitude, altitude);
    emit reading(live);
}

void DeviceStatusWidget::onDevTotalData(std::shared_ptr<M30_total_data> total) {
    if (!total) return;
    m_cps = static_cast<float>(total->count_rate);
    m_doseRate = total->dose_rate;
    m_doseUnit = static_cast<int>(total->dose_unit);
    ui->lineEdit_doseRate->setText(formatDoseRate(m_doseRate, m_doseUnit));
    ui->lineEdit_cps->setText(formatReading(m_cps, kCountRate));
}

void DeviceStatusWidget::setKeysEnabled(bool enabled) {
    m_keysEnabled = enabled;
    reflectCommands();
}

// A control whose command is on its way stays disabled until its result is back.
void DeviceStatusWidget::reflectCommands() {
    const CommandQueue &commands = m_device->commands();
    for (int code : {kKeyOk, kKeyUp, kKeyLeft, kKeyRight, kKeyDown})
        keyButton(code)->setEnabled(m_keysEnabled && !commands.isPending(keyCommand(code)));
    ui->comboBoxRecord->setEnabled(!commands.isPending(recordCommand(0)) &&
                                   !commands.isPending(recordCommand(1)));
    ui->btn_restartDevice->setEnabled(!commands.isPending(kRestartCommand));
}

void DeviceStatusWidget::on_comboBoxDisplay_currentIndexChanged(int index) {
    // Switched off by the link's loss, the mirror comes back with the link.
    if (m_state == Connected) m_mirrorChoice = index;
    m_displayTimer->stop();
    if (index != 1 && index != 2) {
        setKeysEnabled(false);
        ui->label->clear();
        return;
    }
    m_displayTimer->setInterval(index == 1 ? 500 : 1000);
    setKeysEnabled(true);
    m_displayTimer->start();
}

// A tick while the last picture is still on its way is skipped rather than queued.
void DeviceStatusWidget::updateDeviceDisplay() {
    auto read = [p = m_m30Protocol] {
        std::vector<char> buffer(kDisplayBufferBytes);
        int length = 0;
        if (!p->txBuffDownload(kDisplayPictureKind, 1, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                               buffer.data(), kDisplayBufferBytes, &length))
            return QImage();
        return QImage::fromData(reinterpret_cast<const uchar *>(buffer.data()), length);
    };
    m_device->commands().post(this, kDisplayCommand, read, [this](const QImage &picture) {
        // An undecodable picture leaves the old one; one that arrives after the mirror was
        // switched off is not shown.
        if (picture.isNull() || !m_displayTimer->isActive()) return;
        ui->label->setPixmap(QPixmap::fromImage(
            picture.scaled(ui->label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    });
}

QPushButton *DeviceStatusWidget::keyButton(int code) const {
    switch (code) {
        case kKeyOk:
            return ui->btnOk;
        case kKeyUp:
            return ui->btnUp;
        case kKeyLeft:
            return ui->btnLeft;
        case kKeyRight:
            return ui->btnRight;
        default:
            return ui->btnDown;
    }
}

// The key stays disabled until the instrument has taken the press.
void DeviceStatusWidget::pressKey(int code) {
    const bool posted = m_device->commands().post(
        this, keyCommand(code), [p = m_m30Protocol, code] { return p->emulateKey(code); },
        [this](bool) { reflectCommands(); });
    if (posted) reflectCommands();
}

void DeviceStatusWidget::on_btnOk_clicked() {
    pressKey(kKeyOk);
}
void DeviceStatusWidget::on_btnDown_clicked() {
    pressKey(kKeyDown);
}
void DeviceStatusWidget::on_btnUp_clicked() {
    pressKey(kKeyUp);
}
void DeviceStatusWidget::on_btnLeft_clicked() {
    pressKey(kKeyLeft);
}
void DeviceStatusWidget::on_btnRight_clicked() {
    pressKey(kKeyRight);
}

// The switch stays disabled until the instrument has taken the choice.
void DeviceStatusWidget::on_comboBoxRecord_currentIndexChanged(int index) {
    m_recordChoice = index == 1 ? 1 : 0;
    sendRecording(m_recordChoice);
}

void DeviceStatusWidget::sendRecording(int on) {
    const bool posted = m_device->commands().post(
        this, recordCommand(on), [p = m_m30Protocol, on] { return p->recordSurvey(on); },
        [this](bool) { reflectCommands(); });
    if (posted) reflectCommands();
}

QString DeviceStatusWidget::downloadRefusal(MXXDevice &device) {
    if (MXX_get_conn_state_id(device.connId()) != MXX_CONN_CONNECTED)
        return tr("Device not connected!");
    if (device.type() == M30Protocol::kType) return QString();
    device.disconnect();  // its disconnected() arrives queued, after the message
    return tr("Incompatible device!");
}

void DeviceStatusWidget::on_btn_download_clicked() {
    const bool linked = MXX_get_conn_state_id(m_device->connId()) == MXX_CONN_CONNECTED;
    const QString refusal = downloadRefusal(*m_device);
    if (!refusal.isEmpty()) {
        if (linked) m_letGo = true;  // a refused instrument is disconnected, and stays so
        showError(refusal);
        return;
    }
    DownloadDialog dialog(this, m_m30Protocol, &m_device->commands(), m_order, m_serial);
    connect(&dialog, &DownloadDialog::recordDownloaded, this,
            &DeviceStatusWidget::recordDownloaded);
    dialog.exec();
}
