// "BLTH" links with a stand-in for the RFCOMM socket (a socketpair, a loopback socket to the
// simulated instrument, a descriptor that never connects), and the PIN agent on a mock BlueZ.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>

#include "bt_mock.h"
#include "comm/bluetooth.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "sim/instrument.h"
#include "support.h"

namespace {

using test::Recorder;

constexpr const char *kAddress = "00:1A:7D:DA:71:13";

// What the connectors made; the tests run one link at a time.
std::atomic<int> connects{0};
std::atomic<int> far_end{-1};  // the socketpair's other end, or the never-connecting pipe's
std::atomic<int> instrument_port{0};

int connect_pair(const bdaddr_t *, int, int *error_out) {
    ++connects;
    int fds[2];
    *error_out =
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) ? errno : 0;
    far_end = *error_out ? -1 : fds[1];
    return *error_out ? -1 : fds[0];
}

// The read end of a pipe is never writable: a connect that never completes.
int connect_never(const bdaddr_t *, int, int *error_out) {
    ++connects;
    int fds[2];
    *error_out = ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) ? errno : EINPROGRESS;
    far_end = *error_out == EINPROGRESS ? fds[1] : -1;
    return *error_out == EINPROGRESS ? fds[0] : -1;
}

int connect_instrument(const bdaddr_t *, int, int *error_out) {
    ++connects;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(instrument_port.load()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *error_out = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) ? errno : 0;
    return fd;
}

// Starts the manager with a connector for one test.
struct LinkScope {
    test::ManagerScope manager;
    explicit LinkScope(bt_ms_connector connector) {
        connects = 0;
        bt_ms_set_connector(connector);
    }
    ~LinkScope() {
        comm_disconnect_all();
        bt_ms_set_connector(nullptr);
        if (int fd = far_end.exchange(-1); fd >= 0) ::close(fd);
    }
};

int open(const std::string &conn_string, Recorder &rec, int wait_ms = 50) {
    int id = 0;
    EXPECT_EQ(comm_connect(&id, conn_string.c_str(), Recorder::callback, 4096, wait_ms, &rec), 0);
    return id;
}

TEST(BtLink, AddressTextsWithAndWithoutSeparatorsAgreeAndAMalformedOneOpensNoSocket) {
    test::no_system_bus();
    bdaddr_t with{}, without{};
    ASSERT_EQ(bt_ms_parse_address(kAddress, &with), 0);
    ASSERT_EQ(bt_ms_parse_address("001a7dda7113", &without), 0);
    EXPECT_EQ(bacmp(&with, &without), 0);
    EXPECT_EQ(with.b[0], 0x13);  // little-endian, as the socket address wants it
    for (const char *bad : {"", "00:1A:7D:DA:71", "00:1A:7D:DA:71:13:37", "zz:1A:7D:DA:71:13"})
        EXPECT_EQ(bt_ms_parse_address(bad, &with), -1) << bad;

    Recorder rec;
    LinkScope link(connect_pair);
    int id = 0;
    EXPECT_EQ(comm_connect(&id, "BLTH/00:1A:7D:DA:71/1/9153/1000/0/M", Recorder::callback, 4096, 50,
                           &rec),
              -1);
    EXPECT_EQ(connects, 0);

    bt_ms_set_connector(connect_never);
    open(std::string("BLTH/") + kAddress + "/1/9153/200/0/M", rec);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));  // at its time-out
    EXPECT_EQ(rec.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
}

TEST(BtLink, CarriesBytesBothWaysAndDisconnectWakesAWaitingReader) {
    test::no_system_bus();
    Recorder rec;
    LinkScope link(connect_pair);
    int id = open("BLTH/001A7DDA7113/1/9153/1000/0/M", rec, 60000);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    test::send_all(far_end, "in");
    ASSERT_TRUE(test::eventually([&] { return rec.data() == "in"; }));
    int written = 0;
    EXPECT_EQ(comm_write(id, "out", 3, &written, 1000), 0);
    EXPECT_EQ(test::recv_exactly(far_end, 3), "out");

    // The reader sits in one long wait; the disconnect must not wait for it to pass.
    auto done = std::async(std::launch::async, [id] { return comm_disconnect(id); });
    ASSERT_EQ(done.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(rec.codes().back(), COMM_EVENT_DISCONNECTED);
    EXPECT_EQ(test::recv_exactly(far_end, 1), "");  // the far end sees the link close
}

// Recognition and a command end to end, the RFCOMM socket replaced by a loopback one to the
// simulated instrument.
TEST(BtLink, AnInstrumentIsRecognisedAsM30AndAnswersACommand) {
    test::no_system_bus();
    sim::Instrument instrument{sim::in_process_options()};
    instrument.set_command(1234, sim::succeed());
    std::string error;
    ASSERT_TRUE(instrument.start(&error)) << error;
    instrument_port = instrument.port();
    bt_ms_set_connector(connect_instrument);
    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    std::atomic<int> type{-1};
    auto on_connected = [](int, char *, int device_type, void *user) {
        *static_cast<std::atomic<int> *>(user) = device_type;
        return 0;
    };
    auto on_gone = [](int, char *, void *) { return 0; };
    char conn[COMM_CONN_STRING_SIZE];
    ASSERT_EQ(MXX_make_bt_conn_string(conn, kAddress, "M30-C1"), 0);
    int id = 0;
    ASSERT_EQ(
        MXX_connect(conn, &id, on_connected, on_gone, on_gone, MDD_probe, MDD_test_probe, &type),
        0);
    EXPECT_EQ(MXX_wait_connected(id, 10000), 0);
    EXPECT_EQ(type, MXX_TYPE_M30);
    EXPECT_EQ(MXX_send_cmd(id, 1234, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 1000, 1),
              MXX_RESULT_OK);
    MXX_shut();
    bt_ms_set_connector(nullptr);
}

class BtAgent : public test::MockBluez {
protected:
    // Calls Agent1 `method` at `agent` on every other client of the bus from BlueZ's own
    // connection, through a method added to the mock; `args` are the "av" of its arguments. The
    // answer as text, or the error name the agent gave.
    template <typename... Args>
    std::string ask(const std::string &agent, const char *method, const char *signature,
                    Args... args) {
        if (!m_asking) {
            EXPECT_EQ(call("org.bluez", "/org/bluez", "org.freedesktop.DBus.Mock", "AddMethod",
                           "sssss", "com.corvanta.Test", "Ask", "ssssav", "s",
                           "ret = str(self.connection.call_blocking(args[0], args[1], "
                           "'org.bluez.Agent1', args[2], args[3], args[4]))")
                          .error,
                      "");
            m_asking = true;
        }
        return ask_each([&](const char *name) {
            return call("org.bluez", "/org/bluez", "com.corvanta.Test", "Ask", "ssssav", name,
                        agent.c_str(), method, signature, args...);
        });
    }
    // Asks for a PIN from BlueZ's connection or this test's.
    std::string request_pin(const std::string &agent, const char *device, bool via_bluez = true) {
        if (via_bluez) return ask(agent, "RequestPinCode", "o", 1, "o", device);
        return ask_each([&](const char *name) {
            return call(name, agent, "org.bluez.Agent1", "RequestPinCode", "o", device);
        });
    }

private:
    template <typename Send>
    std::string ask_each(Send send) {
        std::string mock = call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "GetNameOwner", "s", "org.bluez")
                               .text();
        Reply names = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "ListNames", "");
        const char *own = nullptr, *name = nullptr;
        sd_bus_get_unique_name(m_bus, &own);
        std::string refused;
        sd_bus_message_enter_container(names.m, 'a', "s");
        while (sd_bus_message_read(names.m, "s", &name) > 0) {
            if (name[0] != ':' || std::string(name) == own || name == mock) continue;
            Reply r = send(name);
            if (r.error.empty()) return r.text();
            if (r.error.starts_with("org.bluez.")) refused = r.error;
        }
        return refused;
    }

    bool m_asking = false;
};

TEST_F(BtAgent, AnswersThePinForTheDeviceBeingConnectedOnlyAndIsGoneAfterTheConnect) {
    add_adapter();
    Recorder rec;
    LinkScope link(connect_never);
    int id = open(std::string("BLTH/") + kAddress + "/1/4321/60000/0/M", rec);
    ASSERT_TRUE(test::eventually([&] { return calls("/org/bluez", "RequestDefaultAgent") == 1; }));
    EXPECT_EQ(calls("/org/bluez", "RegisterAgent"), 1);

    std::string agent = "/com/corvanta/survokart/agent" + std::to_string(id);
    EXPECT_EQ(request_pin(agent, "/org/bluez/hci0/dev_00_1A_7D_DA_71_13"), "4321");
    EXPECT_EQ(request_pin(agent, "/org/bluez/hci0/dev_11_22_33_44_55_66"),
              "org.bluez.Error.Rejected");
    // Any process on the bus can call the agent; only BlueZ gets the PIN.
    EXPECT_EQ(request_pin(agent, "/org/bluez/hci0/dev_00_1A_7D_DA_71_13", false),
              "org.bluez.Error.Rejected");

    comm_disconnect(id);  // ends the connect, which unregisters on its way out
    EXPECT_EQ(rec.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
    EXPECT_EQ(calls("/org/bluez", "UnregisterAgent"), 1);
    EXPECT_EQ(request_pin(agent, "/org/bluez/hci0/dev_00_1A_7D_DA_71_13"), "");
}

// While a link opens the agent is BlueZ's default one: anything it grants, it grants for every
// pairing and service request, with nobody asked. The device being connected gets its PIN only.
TEST_F(BtAgent, RefusesEveryRequestButThePinEvenForTheDeviceBeingConnected) {
    add_adapter();
    Recorder rec;
    LinkScope link(connect_never);
    int id = open(std::string("BLTH/") + kAddress + "/1/4321/60000/0/M", rec);
    ASSERT_TRUE(test::eventually([&] { return calls("/org/bluez", "RequestDefaultAgent") == 1; }));
    std::string agent = "/com/corvanta/survokart/agent" + std::to_string(id);
    const char *device = "/org/bluez/hci0/dev_00_1A_7D_DA_71_13";
    const char *hid = "00001124-0000-1000-8000-00805f9b34fb";
    const std::string rejected = "org.bluez.Error.Rejected";

    EXPECT_EQ(ask(agent, "RequestPasskey", "o", 1, "o", device), rejected);
    EXPECT_EQ(ask(agent, "DisplayPinCode", "os", 2, "o", device, "s", "0000"), rejected);
    EXPECT_EQ(ask(agent, "DisplayPasskey", "ouq", 3, "o", device, "u", 123456u, "q", 0), rejected);
    EXPECT_EQ(ask(agent, "RequestConfirmation", "ou", 2, "o", device, "u", 123456u), rejected);
    EXPECT_EQ(ask(agent, "RequestAuthorization", "o", 1, "o", device), rejected);
    EXPECT_EQ(ask(agent, "AuthorizeService", "os", 2, "o", device, "s", hid), rejected);
    EXPECT_EQ(request_pin(agent, device), "4321");
    comm_disconnect(id);
}

}  // namespace
