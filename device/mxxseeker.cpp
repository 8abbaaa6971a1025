#include "mxxseeker.h"

#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "comm/bt_inquiry.h"
#include "comm/conn_string.h"
#include "devicelibrary.h"
#include "handover.h"
#include "log.h"

namespace {

// The USB watch has a single registration; its notification is fanned out to every seeker here.
// A seeker leaves the set before it is destroyed, so a seeker found here is alive while the lock
// is held. Never held while the library stops: stopping joins the watch thread.
std::mutex registry_lock;
std::vector<MXXSeeker *> live_seekers;  // guarded by registry_lock

using device_handover::handOver;
using device_handover::takeOver;

// Discovery needs the running library; without it a seeker finds nothing and says why.
bool libraryRunning(const char *what) {
    if (DeviceLibrary::isRunning()) return true;
    qCWarning(lcDevice) << what << "refused: the device library is not running";
    return false;
}

// A fixed text field that need not end in a zero byte.
QString textField(const char *field, size_t size) {
    return QString::fromUtf8(field, static_cast<qsizetype>(qstrnlen(field, size)));
}

BTDeviceList btDevices(const comm_bt_inquiry_result_t *results, int count) {
    BTDeviceList devices;
    for (int i = 0; results && i < count; ++i) {
        const comm_bt_inquiry_result_t &r = results[i];
        devices.emplace_back(textField(r.name, sizeof r.name),
                             textField(r.address, sizeof r.address));
    }
    return devices;
}

// Runs on the inquiry thread, its last call possibly on the thread that cancels; the seeker
// cancels the inquiry before it goes, and no call comes once the cancel has returned.
int onBtResults(comm_bt_inquiry_result_t *results, int count, int flag, void *user) {
    auto *seeker = static_cast<MXXSeeker *>(user);
    BTDeviceList devices = btDevices(results, std::max(count, 0));
    handOver();
    QMetaObject::invokeMethod(
        seeker,
        [seeker, devices, done = flag != 0] {
            takeOver();
            seeker->emitDiscoveredBTDevices(devices, done);
        },
        Qt::QueuedConnection);
    return 0;
}

// Runs on the discovery listener's thread; the library guards its list of answers.
void onDatagram(const void *datagram, int length, void *) {
    MXX_broadcast_event_proc(datagram, length);
}

// The address an answer is reached by: its first address, else its second; empty for neither.
QString answerAddress(const MXX_broadcast_entry &e) {
    QString first = textField(e.address, sizeof e.address);
    return first.isEmpty() ? textField(e.text, sizeof e.text) : first;
}

}  // namespace

MXXSeeker::MXXSeeker(QObject *parent) : QObject(parent), m_netTimer(new QTimer(this)) {
    qRegisterMetaType<BTDeviceList>("BTDeviceList");
    std::lock_guard g(registry_lock);
    live_seekers.push_back(this);
}

MXXSeeker::~MXXSeeker() {
    m_netTimer->stop();
    if (m_btStarted) cancelDiscoverBT();
    std::lock_guard g(registry_lock);
    std::erase(live_seekers, this);
}

int MXXSeeker::listUSBDevices(std::vector<QString> &list) const {
    constexpr int kMaxDevices = 255;
    list.clear();
    if (!libraryRunning("USB listing")) return -1;
    std::vector<char> buffer(static_cast<size_t>(kMaxDevices) * COMM_CONN_STRING_SIZE, '\0');
    int count = 0;
    int result = MXX_list_usb_devices(buffer.data(), kMaxDevices, &count);
    if (result != 0) return result;
    for (int i = 0; i < std::clamp(count, 0, kMaxDevices); ++i)
        list.push_back(textField(buffer.data() + i * COMM_CONN_STRING_SIZE, COMM_CONN_STRING_SIZE));
    return 0;
}

bool MXXSeeker::isBTAvailable() const {
    return MXX_bt_is_available() != 0;
}

int MXXSeeker::discoverBT() {
    if (!libraryRunning("Bluetooth inquiry")) return -1;
    int result = MXX_comm_bt_discover(onBtResults, this);
    if (result == 0) m_btStarted = true;
    return result;
}

int MXXSeeker::cancelDiscoverBT() const {
    return MXX_comm_bt_discover_cancel();
}

void MXXSeeker::discoverNet() {
    // The dialog sets discovery up every time it is shown: one connection, however often.
    connect(m_netTimer, &QTimer::timeout, this, &MXXSeeker::updateNetList, Qt::UniqueConnection);
    m_netTimer->setInterval(kNetTimerMs);
    // Its listener would outlive a library that is not running to stop it.
    if (libraryRunning("Network discovery")) MXX_net_broadcast_register(onDatagram, nullptr);
}

void MXXSeeker::cancelDiscoverNet() const {
    MXX_net_broadcast_deregister();
}

void MXXSeeker::setEnabledNetTimer(bool enabled) {
    if (enabled)
        m_netTimer->start();
    else
        m_netTimer->stop();
}

MXX_broadcast_list_t MXXSeeker::netReplies() const {
    MXX_broadcast_list_t list;
    MXX_broadcast_list(&list);
    return list;
}

void MXXSeeker::resetNetReplies() {
    MXX_net_broadcast_reset_list();
}

int MXXSeeker::sendNetQuery() {
    if (!libraryRunning("Network query")) return -1;
    return MXX_send_broadcast_net_message("255.255.255.255", kDiscoveryPort);
}

void MXXSeeker::settingsChanged(const QList<QString> &) {}

void MXXSeeker::emitDeviceUSBListChanged() {
    emit deviceUSBListChanged();
}

void MXXSeeker::emitDiscoveredBTDevices(const BTDeviceList &devices, bool flag) {
    emit discoveredBTDevices(devices, flag);
}

void MXXSeeker::usbListChanged(void *) {
    std::lock_guard g(registry_lock);
    for (MXXSeeker *seeker : live_seekers) {
        handOver();
        QMetaObject::invokeMethod(
            seeker,
            [seeker] {
                takeOver();
                seeker->emitDeviceUSBListChanged();
            },
            Qt::QueuedConnection);
    }
}

void MXXSeeker::updateNetList() {
    ++m_ticks;
    MXX_broadcast_list_t replies = netReplies();
    int count = std::clamp(replies.count, 0, MXX_BROADCAST_LIST_MAX);
    QList<QString> addresses;
    QHash<QString, QString> names;
    for (int i = 0; i < count; ++i) {
        const MXX_broadcast_entry &e = replies.entries[i];
        QString address = answerAddress(e);
        if (address.isEmpty()) continue;
        addresses.append(address);
        names.insert(address, textField(e.key, sizeof e.key));
    }
    if (count > 0) {
        emit discoveredNetDevices(addresses);
        emit discoveredNetDevicesName(names);
    }
    if (m_ticks < kTicksPerQuery) return;
    // Answers gathered since the last query are dropped, so an instrument that went silent
    // leaves the list with the next query.
    m_ticks = 0;
    emit discoveredNetDevices(addresses);
    resetNetReplies();
    sendNetQuery();
}
