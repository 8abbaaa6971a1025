// Network discovery end to end: a seeker on one network finds simulated instruments on another,
// two fresh network namespaces joined by a veth pair with TEST-NET addresses and no other route.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSignalSpy>
#include <cstdlib>

#include "device/devicelibrary.h"
#include "device/mxxseeker.h"
#include "harness.h"

namespace {

using test::spin;
using Names = QHash<QString, QString>;

int fresh_namespace() {
    int fd = -1;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) == 0) fd = ::open("/proc/thread-self/ns/net", O_RDONLY);
    }).join();
    return fd;
}

// Runs `f` on a thread inside namespace `ns`: sockets it opens stay there.
bool within(int ns, const std::function<bool()> &f) {
    bool ok = false;
    std::thread([&] { ok = ::setns(ns, CLONE_NEWNET) == 0 && f(); }).join();
    return ok;
}

// The host's network (sv0, 192.0.2.1/24), which the test's thread enters, and the field (sv1,
// 192.0.2.2 and .3); the test's own namespace is left as it was.
struct TwoNetworks {
    int home = ::open("/proc/thread-self/ns/net", O_RDONLY);
    int host = fresh_namespace(), field = fresh_namespace();
    ~TwoNetworks() {
        ::setns(home, CLONE_NEWNET);
        for (int fd : {home, host, field})
            ::close(fd);
    }
    bool create() {
        std::string f = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(field);
        // Packets flow once the kernel has the link up: wait for that, 10 s at most.
        std::string script =
            "set -e; ip link set lo up; ip link add sv0 type veth peer name sv1 netns " + f +
            "; ip addr add 192.0.2.1/24 brd + dev sv0; nsenter --net=" + f +
            " sh -ec 'ip link set lo up; for n in 2 3; do ip addr add 192.0.2.$n/24 brd + dev "
            "sv1; done; ip link set sv1 up'; ip link set sv0 up; for i in $(seq 100); do "
            "ip -br link show sv0 | grep -q ' UP ' && exit 0; sleep 0.1; done; exit 1";
        return home >= 0 && host >= 0 && field >= 0 &&
               within(host,
                      [&] {
                          return std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
                      }) &&
               ::setns(host, CLONE_NEWNET) == 0;
    }
};

TEST(NetDiscovery, SeekerListsInstrumentsOfAnotherNetworkAndDropsOneThatFallsSilent) {
    TwoNetworks net;
    if (!net.create())
        GTEST_SKIP() << "no network namespaces joined by a veth pair here (needs root or a user "
                        "namespace, ip and nsenter)";
    std::vector<std::unique_ptr<sim::Instrument>> field;
    for (const char *address : {"192.0.2.2", "192.0.2.3"}) {
        sim::Options o;
        o.address = address;
        o.allow_non_loopback = true;
        o.port = 0;
        o.serial = std::string("C000000") + address[8];
        auto &instrument = field.emplace_back(std::make_unique<sim::Instrument>(o));
        std::string error;
        ASSERT_TRUE(within(net.field, [&] { return instrument->start(&error); })) << error;
    }

    DeviceLibrary library;
    ASSERT_EQ(library.start(), QString());
    MXXSeeker seeker;
    QSignalSpy names(&seeker, &MXXSeeker::discoveredNetDevicesName);
    seeker.discoverNet();
    // The timer's ticks, given at once: the 16th empties the list and sends a query.
    auto query = [&] {
        for (int tick = 0; tick < MXXSeeker::kTicksPerQuery; ++tick)
            seeker.updateNetList();
    };
    auto answers = [&](int n) { return spin([&] { return seeker.netReplies().count == n; }); };

    query();
    ASSERT_TRUE(answers(2));
    seeker.updateNetList();
    EXPECT_EQ(names.last().at(0).value<Names>(),
              (Names{{"192.0.2.2", "C0000002"}, {"192.0.2.3", "C0000003"}}));

    field[0]->power_off();
    ASSERT_TRUE(spin([&] { return !field[0]->listening(); }));
    query();
    ASSERT_TRUE(answers(1));
    seeker.updateNetList();
    EXPECT_EQ(names.last().at(0).value<Names>(), (Names{{"192.0.2.3", "C0000003"}}));

    // Cancelling frees the port at once: a socket that does not share it binds.
    seeker.cancelDiscoverNet();
    int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(MXXSeeker::kDiscoveryPort);
    EXPECT_EQ(::bind(probe, reinterpret_cast<sockaddr *>(&any), sizeof any), 0) << errno;
    ::close(probe);
}

}  // namespace
