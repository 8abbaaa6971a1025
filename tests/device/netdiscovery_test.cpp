// Network discovery end to end: a seeker on one network finds simulated instruments on another,
// two network namespaces joined by a veth pair with TEST-NET addresses and no route elsewhere.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSignalSpy>
#include <cstdlib>

#include "device/mxxseeker.h"
#include "harness.h"

namespace {

using test::spin;
using Names = QHash<QString, QString>;

// A new network namespace, held by a descriptor; -1 when this process may not create one.
int fresh_namespace() {
    int fd = -1;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) == 0) fd = ::open("/proc/thread-self/ns/net", O_RDONLY);
    }).join();
    return fd;
}

// Runs `f` on a thread inside namespace `ns`; sockets it opens stay there.
bool within(int ns, const std::function<void()> &f) {
    bool entered = false;
    std::thread([&] {
        entered = ::setns(ns, CLONE_NEWNET) == 0;
        if (entered) f();
    }).join();
    return entered;
}

bool shell(int ns, const std::string &command) {
    bool ok = false;
    return within(ns,
                  [&] { ok = std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0; }) &&
           ok;
}

// The host's network (192.0.2.1/24 on sv0), which the test's own thread enters, and the field
// (sv1 with the instruments' addresses). Neither is the namespace the test started in.
class TwoNetworks {
public:
    ~TwoNetworks() {
        if (m_home >= 0) ::setns(m_home, CLONE_NEWNET);
        for (int fd : {m_home, m_host, m_field})
            if (fd >= 0) ::close(fd);
    }

    // Empty when set up, else why not.
    std::string create(const std::vector<std::string> &field_addresses) {
        m_home = ::open("/proc/thread-self/ns/net", O_RDONLY);
        m_host = fresh_namespace();
        m_field = fresh_namespace();
        if (m_home < 0 || m_host < 0 || m_field < 0)
            return "network namespaces cannot be created here (needs root or a user namespace)";
        std::string field =
            "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(m_field);
        std::string field_setup = "ip link set lo up && ip link set sv1 up";
        for (const std::string &a : field_addresses)
            field_setup += " && ip addr add " + a + "/24 brd + dev sv1";
        // Packets flow once the kernel has the link operational: wait for that, 10 s at most.
        const std::string up =
            "for i in $(seq 100); do ip -br link show sv0 | grep -q ' UP ' && exit 0; sleep 0.1; "
            "done; exit 1";
        if (!shell(m_host, "ip link set lo up && ip link add sv0 type veth peer name sv1 netns " +
                               field + " && ip addr add 192.0.2.1/24 brd + dev sv0") ||
            !shell(m_field, field_setup) || !shell(m_host, "ip link set sv0 up && " + up))
            return "no veth pair between namespaces (ip from iproute2 and veth support needed)";
        return ::setns(m_host, CLONE_NEWNET) == 0 ? "" : "cannot enter the host's namespace";
    }

    bool inField(const std::function<void()> &f) const { return within(m_field, f); }

private:
    int m_home = -1, m_host = -1, m_field = -1;
};

TEST(NetDiscovery, SeekerListsInstrumentsOfAnotherNetworkAndDropsOneThatFallsSilent) {
    TwoNetworks net;
    if (std::string why = net.create({"192.0.2.2", "192.0.2.3"}); !why.empty()) GTEST_SKIP() << why;
    std::vector<std::unique_ptr<sim::Instrument>> field;
    for (const char *address : {"192.0.2.2", "192.0.2.3"}) {
        sim::Options o;
        o.address = address;
        o.allow_non_loopback = true;
        o.port = 0;
        o.serial = std::string("C000000") + address[8];
        auto &instrument = field.emplace_back(std::make_unique<sim::Instrument>(o));
        std::string error;
        bool started = false;
        ASSERT_TRUE(net.inField([&] { started = instrument->start(&error); }));
        ASSERT_TRUE(started) << error;
    }

    MXXSeeker seeker;
    QSignalSpy names(&seeker, &MXXSeeker::discoveredNetDevicesName);
    seeker.discoverNet();
    // The timer's ticks, given at once: the 16th empties the list and sends a query.
    auto query = [&] {
        for (int tick = 0; tick < MXXSeeker::kTicksPerQuery; ++tick)
            seeker.updateNetList();
    };
    auto answers = [&](int count) {
        return spin([&] { return seeker.netReplies().count == count; });
    };

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
