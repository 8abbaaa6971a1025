// The application's entry to instrument discovery: lists the instruments attached by USB and
// announces changes of that list, runs Bluetooth inquiries, and finds instruments on the local
// network by periodic broadcast queries.
//
// Seekers use the library that DeviceLibrary runs; without it their discovery fails (with a
// warning under survokart.device) and finds nothing. Seekers live on the GUI thread. The library's
// USB and Bluetooth callbacks run on its own threads and only post to the seekers, so every signal
// is emitted on the seeker's thread.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <utility>
#include <vector>

#include "comm/instrument_ids.h"
#include "mxx/mxx.h"

class QTimer;

// Bluetooth devices found by an inquiry: (device name, device address).
using BTDeviceList = std::vector<std::pair<QString, QString>>;

class MXXSeeker : public QObject {
    Q_OBJECT

public:
    // Network list updates per broadcast query (at 500 ms, one query every 8 s).
    static constexpr int kTicksPerQuery = 16;
    static constexpr int kNetTimerMs = 500;
    static constexpr int kDiscoveryPort = NET_BROADCAST_PORT;

    explicit MXXSeeker(QObject *parent = nullptr);
    ~MXXSeeker() override;

    // Fills `list` with the connection strings of the attached USB instruments, in the library's
    // order; on failure returns the library's non-zero status with `list` empty.
    virtual int listUSBDevices(std::vector<QString> &list) const;

    bool isBTAvailable() const;
    int discoverBT();
    int cancelDiscoverBT() const;

    // Sets up network discovery: the timer drives updateNetList() once started.
    void discoverNet();
    void cancelDiscoverNet() const;
    void setEnabledNetTimer(bool enabled);

    // The library's list of network answers; tests replace these with a list of their own.
    virtual MXX_broadcast_list_t netReplies() const;
    virtual void resetNetReplies();
    virtual int sendNetQuery();

    void settingsChanged(const QList<QString> &settings);
    void emitDeviceUSBListChanged();
    void emitDiscoveredBTDevices(const BTDeviceList &devices, bool flag);

    // What the library's USB watch calls on its own thread (DeviceLibrary registers it): every
    // live seeker hears it.
    static void usbListChanged(void *user);

public slots:
    void updateNetList();

signals:
    void deviceUSBListChanged();
    void discoveredBTDevices(BTDeviceList devices, bool flag);
    void discoveredNetDevices(QList<QString> addresses);
    void discoveredNetDevicesName(QHash<QString, QString> names);

private:
    QTimer *m_netTimer;
    int m_ticks = 0;
    bool m_btStarted = false;
};

Q_DECLARE_METATYPE(BTDeviceList)
