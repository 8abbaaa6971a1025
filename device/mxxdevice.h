// One instrument connection as a Qt object: opens it from a connection string, learns the
// instrument's type when the library recognises it, and hands every record that the connection's
// event hooks post to each bound protocol object, in arrival order, on the device's thread.
//
// Threads: the library's callbacks run on the connection's reader thread. They write the type, id
// and string of the connection under the link's lock (so the accessors may be called at any time)
// and post everything else (signals, unbinding the protocols) to the device's thread. Once the
// destructor has started, the callbacks and hooks no longer touch the device.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "mxxdeviceevent.h"

class CommandQueue;
class Protocol;
class QThread;

class MXXDevice : public QObject {
    Q_OBJECT

public:
    explicit MXXDevice(QObject *parent = nullptr);
    ~MXXDevice() override;

    // connect() and disconnect() hide QObject's functions of the same names on purpose (the
    // names are the device's interface). Inside this class every signal connection is written
    // QObject::connect(...) / QObject::disconnect(...); never add `using QObject::connect`,
    // which would make a device's connect an overload set.
    // Opens a connection; true when the library accepted the request. The outcome follows as
    // connected() or connectionError(). Refused while a connection of this device is still open.
    bool connect(const QString &connString);
    // Asks the library to close the connection; disconnected() follows. Clears the display name.
    void disconnect();

    int type() const;            // instrument type code; 0 until recognised
    int connId() const;          // -1 without a connection
    QString connString() const;  // empty when not connected, the failed string after an error

    void setName(const QString &name);
    // The display name, else the device part of the connection string, else "Unknown".
    QString name() const;

    // Binds a protocol to the recognised connection. False before recognition or when the same
    // object is already registered.
    bool registerProtocol(std::shared_ptr<Protocol> protocol);

    // The instrument's own command thread: every blocking protocol command goes through it, so
    // that no caller waits on the instrument. Lives as long as the device; destroying the device
    // drops what is queued and closes the link before waiting for the command in flight.
    CommandQueue &commands() const { return *m_commands; }

    // For event hooks on a reader thread: posts a record to the device that opened the connection
    // (`user` is the hook's user pointer). Dropped when that device is gone.
    static void post(void *user, int protocolType, const QVariant &data);

signals:
    void connected();
    void connectionError();
    void disconnected();

protected:
    bool event(QEvent *e) override;

private:
    struct Link;

    static int onConnected(int connId, char *state, int deviceType, void *user);
    static int onConnectFailed(int connId, char *state, void *user);
    static int onDisconnected(int connId, char *state, void *user);
    static void endLink(Link *link, int change, int connId);
    void stateChanged(int change, int connId, bool current);
    void unbindProtocols(int endedId);
    void linkEnded(int endedId);

    // The current (or last) connection. Only the device's thread replaces it.
    std::shared_ptr<Link> m_link;
    uint64_t m_generation = 0;  // of m_link; each connect() opens the next one
    std::vector<std::shared_ptr<Protocol>> m_protocols;
    QList<MXXDeviceEvent> m_pendingEvents;
    bool m_dispatching = false;
    QThread *m_workerThread;  // runs from construction until the connection ends
    std::unique_ptr<CommandQueue> m_commands;
    QString m_name;
};
