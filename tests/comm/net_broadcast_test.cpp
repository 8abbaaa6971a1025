// The discovery listener on port 4455 and the choice of broadcast addresses.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <atomic>
#include <functional>

#include "comm/net_broadcast.h"
#include "support.h"

namespace {

struct Heard {
    std::mutex lock;
    std::vector<int> lengths;  // guarded by lock
    std::atomic<bool> hold{false}, inside{false}, stopping{false}, finished{false};

    static void callback(const void *, int length, void *user) {
        auto *self = static_cast<Heard *>(user);
        if (self->hold) {
            // Held until deregister is under way, which must wait for this call to end.
            self->inside = true;
            while (!self->stopping)
                std::this_thread::yield();
            self->finished = true;
        }
        std::lock_guard g(self->lock);
        self->lengths.push_back(length);
    }
    size_t count() {
        std::lock_guard g(lock);
        return lengths.size();
    }
};

void send_datagram(size_t size) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<char> bytes(size, 'B');
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(NET_BROADCAST_PORT);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(fd, bytes.data(), size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              ssize_t(size));
    ::close(fd);
}

// Another test program may listen on the discovery port at the same time (the port is shared,
// as instruments' replies must reach every listener), and a datagram sent to one address then
// reaches only one of them: each datagram is sent again until this listener has it.
bool deliver(size_t size, const std::function<bool()> &heard) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        send_datagram(size);
        if (test::eventually(heard, std::chrono::seconds(1))) return true;
    }
    return false;
}

TEST(NetBroadcast, ListenerHandsOnEveryDatagramUntilDeregisteredAndStartsAgain) {
    net_broadcast_event_reg_rec record;
    Heard heard;
    ASSERT_EQ(net_broadcast_register(&record, Heard::callback, &heard), 0);

    // Empty, one byte, the largest an IPv4 datagram can be, and a request.
    const std::vector<int> sizes{0, 1, 65507, 13};
    for (size_t i = 0; i < sizes.size(); ++i)
        ASSERT_TRUE(deliver(static_cast<size_t>(sizes[i]), [&] { return heard.count() > i; }));
    EXPECT_EQ(heard.lengths, sizes);

    heard.hold = true;
    ASSERT_TRUE(deliver(13, [&] { return heard.inside.load(); }));
    heard.stopping = true;
    EXPECT_EQ(net_broadcast_deregister(&record), 0);
    EXPECT_TRUE(heard.finished) << "deregister returned while the callback was running";

    heard.hold = false;
    size_t before = heard.count();
    ASSERT_EQ(net_broadcast_register(&record, Heard::callback, &heard), 0);
    EXPECT_TRUE(deliver(13, [&] { return heard.count() > before; }));
    net_broadcast_deregister(&record);
}

TEST(NetBroadcast, OneAddressPerUpBroadcastNetworkAndNoneMeansFailure) {
    struct Entry {
        const char *address, *mask;
        unsigned flags;
        int family = AF_INET;
    };
    const unsigned up = IFF_UP | IFF_BROADCAST;
    const Entry entries[] = {
        {"192.0.2.1", "255.255.255.0", up},
        {"192.0.2.7", "255.255.255.0", up},  // same network: no second datagram
        {"127.0.0.1", "255.0.0.0", IFF_UP | IFF_LOOPBACK},
        {"198.51.100.1", "255.255.255.0", IFF_BROADCAST},  // down
        {"10.1.2.3", "255.255.0.0", up},
        {"10.9.9.9", "255.255.0.0", up, AF_INET6},
    };
    std::vector<ifaddrs> list(std::size(entries));
    std::vector<sockaddr_in> addresses(list.size()), masks(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        addresses[i].sin_family = static_cast<sa_family_t>(entries[i].family);
        masks[i].sin_family = AF_INET;
        ::inet_pton(AF_INET, entries[i].address, &addresses[i].sin_addr);
        ::inet_pton(AF_INET, entries[i].mask, &masks[i].sin_addr);
        list[i].ifa_flags = entries[i].flags;
        list[i].ifa_addr = reinterpret_cast<sockaddr *>(&addresses[i]);
        list[i].ifa_netmask = reinterpret_cast<sockaddr *>(&masks[i]);
        list[i].ifa_ifu.ifu_broadaddr = list[i].ifa_addr;  // as set without a broadcast
        list[i].ifa_next = i + 1 < list.size() ? &list[i + 1] : nullptr;
    }
    std::vector<uint32_t> found = net_broadcast_addresses(list.data());
    std::vector<std::string> texts;
    for (uint32_t a : found)
        texts.push_back(::inet_ntoa(in_addr{a}));
    EXPECT_EQ(texts, (std::vector<std::string>{"192.0.2.255", "10.1.255.255"}));

    // Loopback alone: nothing can be broadcast, and the sender says so. Outside an isolated
    // namespace this part stays silent rather than broadcast on a real network.
    ifaddrs *own = nullptr;
    ASSERT_EQ(::getifaddrs(&own), 0);
    bool only_loopback = net_broadcast_addresses(own).empty();
    ::freeifaddrs(own);
    const char request[13] = {'B', 'R', 'N', 'O'};
    if (only_loopback) {
        EXPECT_EQ(net_broadcast_send(request, sizeof request, 0, NET_BROADCAST_PORT), -1);
    }
}

}  // namespace
