// UDP broadcast discovery over POSIX sockets. The listener sleeps in poll() on its socket and an
// eventfd, so a deregister wakes it at once instead of it polling every few microseconds.
#include "net_broadcast.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "conn_table.h"
#include "log.h"
#include "poll_wait.h"

struct net_broadcast_listener {
    // Set before the thread starts; closed when the last owner lets go.
    int sock = -1;
    int wake_fd = -1;  // written by deregister, never read
    comm_datagram_cb callback = nullptr;
    void *user = nullptr;
    // Held around every callback. Deregister takes it to set `stopped`, so that once deregister
    // returns no callback is running and none will start.
    std::mutex callback_lock;
    bool stopped = false;                                 // guarded by callback_lock
    std::vector<char> buffer = std::vector<char>(65535);  // listener thread only

    ~net_broadcast_listener() {
        if (sock >= 0) ::close(sock);
        if (wake_fd >= 0) ::close(wake_fd);
    }
};

namespace {

using listener_ref = std::shared_ptr<net_broadcast_listener>;

bool set_flag(int sock, int option, const char *what) {
    int on = 1;
    if (::setsockopt(sock, SOL_SOCKET, option, &on, sizeof on) == 0) return true;
    log_error("Setsockopt - SOL_SOCKET - %s: %s\n", what, std::strerror(errno));
    return false;
}

// The socket bound to port 4455 on every address, and the wake-up descriptor; null with the
// reason logged. Set up here rather than on the thread, so that a port held by another program
// fails the register instead of leaving a listener that hears nothing.
listener_ref open_listener(comm_datagram_cb callback, void *user) {
    auto l = std::make_shared<net_broadcast_listener>();
    l->callback = callback;
    l->user = user;
    l->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    l->sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (l->wake_fd < 0 || l->sock < 0) {
        log_error("error - socket - %s\n", std::strerror(errno));
        return nullptr;
    }
    if (!set_flag(l->sock, SO_REUSEADDR, "SO_REUSEADDR") ||
        !set_flag(l->sock, SO_BROADCAST, "SO_BROADCAST"))
        return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(NET_BROADCAST_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(l->sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        log_error("error bind - %s\n", std::strerror(errno));
        return nullptr;
    }
    return l;
}

// Receives one datagram and hands it on; false once the listener is stopped.
bool receive(net_broadcast_listener &l) {
    // MSG_TRUNC reports the datagram's full length, so one too long for the buffer is noticed.
    ssize_t n = ::recv(l.sock, l.buffer.data(), l.buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            log_write(LOG_CH_NET_BROADCAST, "recvfrom error\n");
        return true;
    }
    if (static_cast<size_t>(n) > l.buffer.size()) {
        log_write(LOG_CH_NET_BROADCAST, "Net broadcast datagram of %zd bytes dropped\n", n);
        return true;
    }
    std::lock_guard g(l.callback_lock);
    if (l.stopped) return false;
    l.callback(l.buffer.data(), static_cast<int>(n), l.user);
    return true;
}

void listen_until_woken(net_broadcast_listener &l) {
    log_write(LOG_CH_NET_BROADCAST, "Net broadcast thread is running.\n");
    pollfd fds[2] = {{l.sock, POLLIN, 0}, {l.wake_fd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            log_write(LOG_CH_NET_BROADCAST, "NET BROADCAST select failed!\n");
            break;
        }
        if (comm_woken(fds[1]) || (fds[0].revents & POLLNVAL)) break;
        if (fds[0].revents && !receive(l)) break;
    }
    log_write(LOG_CH_NET_BROADCAST, "Net broadcast thread is going to shut down.\n");
}

// Under record.lock.
void stop(net_broadcast_event_reg_rec &record) {
    if (!record.running) return;
    net_broadcast_listener &l = *record.running;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(l.wake_fd, &one, sizeof one);
    {
        std::lock_guard g(l.callback_lock);  // waits for a callback under way
        l.stopped = true;
    }
    thread_join(&record.thread);
    record.running.reset();
}

}  // namespace

int net_broadcast_register(net_broadcast_event_reg_rec *record, comm_datagram_cb callback,
                           void *user) {
    if (!record || !callback) return -1;
    std::lock_guard g(record->lock);
    stop(*record);
    listener_ref l = open_listener(callback, user);
    if (!l) return -1;
    if (thread_create_sharing(&record->thread, l, listen_until_woken) != 0) {
        log_error("Net broadcast thread cannot start\n");
        return -1;
    }
    record->running = std::move(l);
    return 0;
}

int net_broadcast_deregister(net_broadcast_event_reg_rec *record) {
    if (!record) return 0;
    std::lock_guard g(record->lock);
    stop(*record);
    return 0;
}

uint32_t net_broadcast_address(const ifaddrs &entry) {
    constexpr unsigned wanted = IFF_UP | IFF_BROADCAST;
    if (!entry.ifa_addr || entry.ifa_addr->sa_family != AF_INET || !entry.ifa_netmask ||
        (entry.ifa_flags & wanted) != wanted || (entry.ifa_flags & IFF_LOOPBACK))
        return 0;
    // Computed from address and mask: ifa_broadaddr holds the host's own address when the
    // address was set without a broadcast.
    uint32_t address = reinterpret_cast<const sockaddr_in *>(entry.ifa_addr)->sin_addr.s_addr;
    uint32_t mask = reinterpret_cast<const sockaddr_in *>(entry.ifa_netmask)->sin_addr.s_addr;
    return (address & mask) | ~mask;
}

// Linux connected routes carry no next hop, so the broadcast addresses cannot be derived from
// the routing table as on other systems; the interfaces' own addresses and masks give them.
std::vector<uint32_t> net_broadcast_addresses(const ifaddrs *list) {
    std::vector<uint32_t> found;
    for (const ifaddrs *e = list; e; e = e->ifa_next) {
        uint32_t broadcast = net_broadcast_address(*e);
        if (broadcast && std::find(found.begin(), found.end(), broadcast) == found.end())
            found.push_back(broadcast);
    }
    return found;
}

int net_broadcast_send(const char *data, int length, int, int port) {
    if (!data || length <= 0 || port <= 0 || port > 65535) return -1;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) {
        log_error("Net broadcast: cannot list the network interfaces: %s\n", std::strerror(errno));
        return -1;
    }
    std::vector<uint32_t> targets = net_broadcast_addresses(list);
    ::freeifaddrs(list);
    if (targets.empty()) {
        log_write(LOG_CH_NET_BROADCAST, "Net broadcast: no network to broadcast on\n");
        return -1;
    }
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        log_error("Socket Error: %s\n", std::strerror(errno));
        return -1;
    }
    int sent = 0;
    if (set_flag(sock, SO_BROADCAST, "SO_BROADCAST")) {
        for (uint32_t target : targets) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(port));
            to.sin_addr.s_addr = target;
            if (::sendto(sock, data, static_cast<size_t>(length), MSG_DONTROUTE | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&to), sizeof to) == length) {
                ++sent;
                continue;
            }
            int err = errno;
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &to.sin_addr, text, sizeof text);
            log_error("Net broadcast to %s failed: %s\n", text, std::strerror(err));
        }
    }
    ::close(sock);
    return sent > 0 ? 0 : -1;
}

namespace {

// The library's one listener. Never destroyed: it may hold a thread until comm_shut stops it,
// and a destructor at exit would meet that thread still joinable.
net_broadcast_event_reg_rec &library_listener() {
    static auto *record = new net_broadcast_event_reg_rec;
    return *record;
}

}  // namespace

int comm_net_broadcast_send(const char *data, int length, int reserved, int port) {
    if (!comm_current_table()) return -1;
    return net_broadcast_send(data, length, reserved, port);
}

int comm_net_broadcast_register(comm_datagram_cb callback, void *user) {
    if (!comm_current_table()) return -1;
    return net_broadcast_register(&library_listener(), callback, user);
}

int comm_net_broadcast_deregister() {
    return net_broadcast_deregister(&library_listener());
}
