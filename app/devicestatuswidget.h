// One instrument's panel on the device status tab: a complete, independent client of one
// instrument. It connects (and, after restarting the instrument, reconnects a bounded number of
// times; after a loss the user did not ask for, its LinkKeeper brings the link back), shows the
// instrument's readings, mirrors its display, presses its keys, switches survey recording and opens
// the download dialog. GUI thread only; device and protocol signals arrive queued, and every
// instrument command runs on the device's command queue, its result queued.
#pragma once

#include <QDateTime>
#include <QSharedPointer>
#include <QStringList>
#include <QWidget>
#include <memory>

#include "mxx/m30_records.h"
#include "survey/surveyreading.h"

class ConnectDialog;
class LinkKeeper;
class M17Protocol;
class M30Protocol;
class MXXDevice;
class MXXSeeker;
class QPushButton;
class QTimer;
class InstrumentWatch;
class WatchBar;

namespace Ui {
class DeviceStatusWidget;
}

class DeviceStatusWidget : public QWidget {
    Q_OBJECT

public:
    enum State {
        Disconnected = 0,
        Connected = 1,
        ConnectionError = 2,
        Connecting = 3,
        Reconnecting = 4,  // between attempts to bring a lost or remembered instrument back
    };

    explicit DeviceStatusWidget(QWidget *parent = nullptr);
    ~DeviceStatusWidget() override;

    void setOrder(int order);
    int state() const { return m_state; }
    // The pause before each automatic reconnection after a restart; tests shorten it.
    void setReconnectInterval(int milliseconds) { m_reconnectIntervalMs = milliseconds; }
    MXXDevice &device() const { return *m_device; }
    // The connected instrument's serial number, whole; empty while none is connected.
    QString serial() const { return m_serial; }
    // Alarms, dose, timeline and spectrum of this panel's instrument, and the row that shows them.
    InstrumentWatch &watch() const { return *m_watch; }
    WatchBar &watchBar() const { return *m_watchBar; }
    ConnectDialog &connectDialog() const { return *m_connectDialog; }
    const LinkKeeper &linkKeeper() const { return *m_keeper; }
    // Looks in the background for the instrument this panel was last connected to (as remembered
    // in the settings), showing that it waits; nothing when none is remembered.
    void reconnectLastInstrument();

    // The text of the status record's error word: the names of the conditions present.
    static QString errorText(uint16_t errorFlags);
    // Why `device` cannot serve a download, or empty when it can. An instrument of another type
    // is disconnected.
    static QString downloadRefusal(MXXDevice &device);

signals:
    // Each status the instrument sends, with the latest totals: with a fix or without one.
    void reading(const SurveyReading &reading);
    // One stored record, downloaded whole: its points as readings carrying the record's id.
    void recordDownloaded(const std::vector<SurveyReading> &readings);
    void deviceConnection(QString connString, bool connected, QString serial, int devNum);
    // A live GPS fix of this panel's instrument; downloaded points are never one.
    void liveFix(double latitude, double longitude, double altitude);

public slots:
    void setConnectedDevices(QList<QString> devices);
    void connectSignals();
    void updateStatus();
    void deviceConnect();
    void onDevConnected();
    void onDevDisconnected();
    void onDevConnectionError();
    void updateDeviceDisplay();
    void onDevStatusData(std::shared_ptr<M30_status> status);
    void onDevTotalData(std::shared_ptr<M30_total_data> total);

    void on_btn_connect_clicked();
    void on_comboBoxDisplay_currentIndexChanged(int index);
    void on_comboBoxRecord_currentIndexChanged(int index);
    void on_btn_restartDevice_clicked();
    void on_btn_disconnectDevice_clicked();
    void on_btnOk_clicked();
    void on_btnDown_clicked();
    void on_btnUp_clicked();
    void on_btnLeft_clicked();
    void on_btnRight_clicked();
    void on_btn_download_clicked();
    void on_btn_stopReconnecting_clicked();

protected:
    // Shows a critical message box titled "Error"; tests replace it so that nothing waits for a
    // click.
    virtual void showError(const QString &text);

private:
    void setKeysEnabled(bool enabled);
    void pressKey(int code);
    QPushButton *keyButton(int code) const;
    void reflectCommands();
    void openConnection();
    void attemptFailed();
    void stopReconnecting();
    void attemptReconnection();
    void linkLost();
    void becameConnected(const QString &serial);
    void showLinkState();
    void sendRecording(int on);
    // Keeps (or forgets) the instrument for the next start.
    void remember(bool keep);

    std::unique_ptr<Ui::DeviceStatusWidget> ui;
    QSharedPointer<MXXSeeker> m_seeker;
    QSharedPointer<MXXDevice> m_device;
    QSharedPointer<ConnectDialog> m_connectDialog;
    QSharedPointer<QTimer> m_displayTimer;
    std::shared_ptr<M17Protocol> m_m17Protocol;
    std::shared_ptr<M30Protocol> m_m30Protocol;
    InstrumentWatch *m_watch;
    WatchBar *m_watchBar;
    QStringList m_connectedDevices;
    float m_cps = 0;
    float m_doseRate = 0;
    int m_doseUnit = 0;
    QString m_connString;
    int m_state = Disconnected;
    int m_order = -1;
    int m_repeatConnect = 0;
    // Read once per connection: every refresh would otherwise cost a transaction.
    QString m_shortSerial;
    int m_reconnectIntervalMs = 10000;
    QTimer *m_reconnectTimer;
    // The old link is being closed so that this attempt can open a new one.
    bool m_connectOnceClosed = false;
    // The main window was told of this connection: its end is told once.
    bool m_announced = false;
    // Counts connections and their ends: a result read on an ended connection is dropped.
    quint64 m_session = 0;
    bool m_keysEnabled = false;  // while the display is mirrored
    LinkKeeper *m_keeper;
    // The full serial of the instrument served: readings carry it, and it is kept through a loss
    // to know the instrument again.
    QString m_serial;
    QDateTime m_connectedSince;
    // What the user chose on this instrument, resumed after the link comes back.
    int m_mirrorChoice = 0;
    int m_recordChoice = -1;  // none
    // The link is being closed on purpose (the user's Disconnect, an incompatible instrument):
    // its end is not a loss to bring back.
    bool m_letGo = false;
    bool m_restarting = false;  // the restart's own attempts bring the instrument back
    // A reconnection found another instrument, or one that would not send its events: its link
    // is being closed, and the attempt counts as failed.
    bool m_attemptAbandoned = false;
};
