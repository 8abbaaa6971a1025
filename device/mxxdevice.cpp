#include "mxxdevice.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "comm/conn_string.h"
#include "commandqueue.h"
#include "handover.h"
#include "log.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "mxxwait.h"
#include "protocol.h"

// One connection opened by a device. The library's callbacks and hooks get its address as their
// user pointer, so it lives until the library's last callback for the connection (`self`) and as
// long as the device refers to it.
struct MXXDevice::Link {
    std::mutex lock;
    MXXDevice *device = nullptr;  // guarded by lock; null once the device is being destroyed
    int connId = -1;              // guarded by lock
    int type = 0;                 // guarded by lock
    QString connString;           // guarded by lock
    bool ended = false;           // guarded by lock; the last callback has run
    uint64_t generation = 0;      // fixed before MXX_connect; tells this link's events apart
    std::shared_ptr<Link> self;   // set before MXX_connect, dropped by the last callback
};

namespace {

using device_handover::handOver;
using device_handover::takeOver;

// A change of the connection's state, posted by a library callback to the device's thread.
// A plain event rather than a queued functor: Qt frees it on the receiving thread, after the
// hand-over above.
class StateEvent : public QEvent {
public:
    enum Change { Connected, ConnectionFailed, Disconnected };
    static QEvent::Type eventType() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    StateEvent(Change change, int connId, uint64_t generation)
        : QEvent(eventType()), change(change), connId(connId), generation(generation) {}
    const Change change;
    const int connId;
    const uint64_t generation;  // of the link that posted it
};

void postState(MXXDevice *device, StateEvent::Change change, int connId, uint64_t generation) {
    auto *event = new StateEvent(change, connId, generation);
    handOver();
    QCoreApplication::postEvent(device, event, Qt::NormalEventPriority);
}

void logState(const char *what, const QString &connString) {
    qCDebug(lcDevice) << what << connString;
}

}  // namespace

namespace {
// The usual command time-out. Closing the link wakes a command waiting for its answer, so the
// destructor rarely waits at all; this bounds the wait when it does.
constexpr int kCommandCloseWaitMs = 1000;
}  // namespace

MXXDevice::MXXDevice(QObject *parent)
    : QObject(parent),
      m_workerThread(new QThread),
      m_commands(std::make_unique<CommandQueue>(kCommandCloseWaitMs)) {
    m_workerThread->start(QThread::InheritPriority);
}

MXXDevice::~MXXDevice() {
    m_commands->close();
    int id = -1;
    if (m_link) {
        std::lock_guard g(m_link->lock);
        m_link->device = nullptr;
        id = m_link->connId;
    }
    m_workerThread->quit();
    m_workerThread->wait();
    delete m_workerThread;
    if (id != -1) MXX_disconnect(id);
    m_commands.reset();  // after the link closed: the command in flight has been woken
    m_pendingEvents.clear();
    // The protocols may outlive the device; they must not claim a closed connection.
    for (auto &p : m_protocols)
        if (p->isBound()) p->unbind();
    m_protocols.clear();
}

bool MXXDevice::connect(const QString &connString) {
    // A second connection would leave the first one calling back into a device that forgot it.
    if (connId() != -1) return false;
    QByteArray s = connString.toLocal8Bit();
    auto link = std::make_shared<Link>();
    link->device = this;
    link->connString = connString;
    link->generation = ++m_generation;
    link->self = link;
    int id = -1;
    if (MXX_connect(s.constData(), &id, onConnected, onConnectFailed, onDisconnected, MDD_probe,
                    MDD_test_probe, link.get()) != 0) {
        link->self.reset();
        return false;
    }
    {
        // The reader thread may have ended the connection before MXX_connect returned its id.
        std::lock_guard g(link->lock);
        if (!link->ended) link->connId = id;
    }
    m_link = link;
    if (!m_workerThread->isRunning()) m_workerThread->start(QThread::InheritPriority);
    return true;
}

void MXXDevice::disconnect() {
    int id = connId();
    if (id != -1) MXX_disconnect(id);
    m_name.clear();
}

int MXXDevice::type() const {
    if (!m_link) return 0;
    std::lock_guard g(m_link->lock);
    return m_link->type;
}

int MXXDevice::connId() const {
    if (!m_link) return -1;
    std::lock_guard g(m_link->lock);
    return m_link->connId;
}

QString MXXDevice::connString() const {
    if (!m_link) return {};
    std::lock_guard g(m_link->lock);
    return m_link->connString;
}

void MXXDevice::setName(const QString &name) {
    m_name = name;
}

QString MXXDevice::name() const {
    if (!m_name.isEmpty()) return m_name;
    QString s = connString();
    if (s.isEmpty()) return QStringLiteral("Unknown");
    char in[COMM_CONN_STRING_SIZE] = {};
    char out[COMM_CONN_STRING_SIZE] = {};
    QByteArray utf8 = s.toUtf8();
    std::memcpy(in, utf8.constData(), std::min<size_t>(utf8.size(), sizeof in - 1));
    comm_get_devid_string(in, out);
    return QString::fromUtf8(out, static_cast<qsizetype>(strnlen(out, sizeof out)));
}

bool MXXDevice::registerProtocol(std::shared_ptr<Protocol> protocol) {
    if (!protocol || type() == 0) return false;
    if (std::find(m_protocols.begin(), m_protocols.end(), protocol) != m_protocols.end())
        return false;
    m_protocols.push_back(protocol);
    protocol->bind(connId(), m_workerThread);
    return true;
}

void MXXDevice::post(void *user, int protocolType, const QVariant &data) {
    auto *link = static_cast<Link *>(user);
    auto *event = new MXXDeviceEvent(protocolType, data);
    std::lock_guard g(link->lock);
    if (!link->device) {
        delete event;
        return;
    }
    handOver();
    QCoreApplication::postEvent(link->device, event, Qt::NormalEventPriority);
}

bool MXXDevice::event(QEvent *e) {
    takeOver();  // before the first look at an event that may come from a reader thread
    if (e->type() == StateEvent::eventType()) {
        auto *state = static_cast<StateEvent *>(e);
        stateChanged(state->change, state->connId, state->generation == m_generation);
        return true;
    }
    // Qt's own events (queued calls, deferred deletion) go to the base; other user events are not
    // the device's.
    if (e->type() != MXXDeviceEvent::kType) return e->type() < QEvent::User && QObject::event(e);
    m_pendingEvents.append(*static_cast<MXXDeviceEvent *>(e));
    if (m_dispatching || MXXWait::idleLoopActive()) return true;
    // A slot may run a nested event loop: events arriving meanwhile are appended above and
    // delivered by this loop, in order, exactly once.
    QPointer<MXXDevice> alive(this);
    m_dispatching = true;
    while (!m_pendingEvents.isEmpty()) {
        MXXDeviceEvent next = m_pendingEvents.takeFirst();
        auto protocols = m_protocols;  // a slot may register protocols or end the connection
        for (auto &p : protocols) {
            p->receiveData(next.data());
            if (!alive) return true;
        }
    }
    m_dispatching = false;
    return true;
}

int MXXDevice::onConnected(int connId, char *, int deviceType, void *user) {
    auto *link = static_cast<Link *>(user);
    std::lock_guard g(link->lock);
    logState("connected", link->connString);
    link->connId = connId;
    link->type = deviceType;
    if (link->device) postState(link->device, StateEvent::Connected, connId, link->generation);
    return 0;
}

int MXXDevice::onConnectFailed(int connId, char *, void *user) {
    endLink(static_cast<Link *>(user), StateEvent::ConnectionFailed, connId);
    return 0;
}

int MXXDevice::onDisconnected(int connId, char *, void *user) {
    endLink(static_cast<Link *>(user), StateEvent::Disconnected, connId);
    return 0;
}

// The library's last callback for a connection: the link forgets it and lets go of itself.
void MXXDevice::endLink(Link *link, int change, int connId) {
    std::shared_ptr<Link> keep;  // released after the lock
    std::lock_guard g(link->lock);
    keep = std::move(link->self);
    const bool failed = change == StateEvent::ConnectionFailed;
    logState(failed ? "connection error" : "disconnected", link->connString);
    link->ended = true;
    link->connId = -1;
    link->type = 0;
    if (!failed) link->connString.clear();  // a failed string stays on show
    if (link->device)
        postState(link->device, static_cast<StateEvent::Change>(change), failed ? -1 : connId,
                  link->generation);
}

// The part of a state change that belongs to the device's thread. An earlier link's ending can
// arrive after connect() opened the next one: it only lets go of that link's protocols, and says
// nothing about the new link.
void MXXDevice::stateChanged(int change, int connId, bool current) {
    if (!current) {
        if (change == StateEvent::Disconnected) unbindProtocols(connId);
        return;
    }
    switch (change) {
        case StateEvent::Connected:
            emit connected();
            return;
        case StateEvent::ConnectionFailed:
            emit connectionError();
            return;
        default:
            linkEnded(connId);
    }
}

void MXXDevice::unbindProtocols(int endedId) {
    for (auto &p : m_protocols)
        if (p->connId() == endedId) p->unbind();
    std::erase_if(m_protocols, [](const std::shared_ptr<Protocol> &p) { return !p->isBound(); });
}

void MXXDevice::linkEnded(int endedId) {
    unbindProtocols(endedId);
    m_workerThread->quit();
    m_workerThread->wait();
    emit disconnected();
}
