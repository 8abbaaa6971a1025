// "BLTH" links with a stand-in for the RFCOMM socket (a socketpair, a loopback socket to the
// simulated instrument, a descriptor that never connects), and the PIN agent on a mock BlueZ.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>

#include "bt_mock.h"
#include "comm/bluetooth.h"
#include "comm/log.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "sim/instrument.h"
#include "support.h"

namespace {

using test::Recorder;

constexpr const char *kAddress = "00:1A:7D:DA:71:13";

// The connectors' far ends; the tests run one link at a time.
std::atomic<int> connects{0};
std::atomic<int> peer_fd{-1};   // the test's end of the socketpair
std::atomic<int> never_fd{-1};  // the write end of the pipe that never connects
std::atomic<int> instrument_port{0};

int connect_pair(const bdaddr_t *, int, int *error_out) {
    ++connects;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        *error_out = errno;
        return -1;
    }
    peer_fd = fds[1];
    *error_out = 0;
    return fds[0];
}

// A descriptor that is never writable: a connect that never completes.
int connect_never(const bdaddr_t *, int, int *error_out) {
    ++connects;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error_out = errno;
        return -1;
    }
    never_fd = fds[1];
    *error_out = EINPROGRESS;
    return fds[0];
}

int connect_instrument(const bdaddr_t *, int, int *error_out) {
    ++connects;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(instrument_port.load()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int r = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    *error_out = r == 0 ? 0 : errno;
    return fd;
}

void close_far_ends() {
    for (std::atomic<int> *fd : {&peer_fd, &never_fd}) {
        int old = fd->exchange(-1);
        if (old >= 0) ::close(old);
    }
}

class BtLink : public ::testing::Test {
protected:
    Recorder rec;  // outlives the manager, whose readers call it
    test::ManagerScope manager;

    void SetUp() override {
        test::no_system_bus();
        connects = 0;
    }
    void TearDown() override {
        comm_disconnect_all();
        bt_ms_set_connector(nullptr);
        close_far_ends();
    }
    int open(bt_ms_connector connector, const std::string &conn_string, int wait_ms = 50) {
        bt_ms_set_connector(connector);
        int id = 0;
        EXPECT_EQ(comm_connect(&id, conn_string.c_str(), Recorder::callback, 4096, wait_ms, &rec),
                  0);
        return id;
    }
};

TEST_F(BtLink, AddressTextWithOrWithoutSeparatorsIsOneAddressAndAMalformedOneIsRefused) {
    bdaddr_t with{}, without{};
    ASSERT_EQ(bt_ms_parse_address(kAddress, &with), 0);
    ASSERT_EQ(bt_ms_parse_address("001a7dda7113", &without), 0);
    EXPECT_EQ(bacmp(&with, &without), 0);
    EXPECT_EQ(with.b[0], 0x13);  // little-endian, as the socket address wants it
    EXPECT_EQ(with.b[5], 0x00);
    for (const char *bad : {"", "00:1A:7D:DA:71", "00:1A:7D:DA:71:13:37", "zz:1A:7D:DA:71:13"})
        EXPECT_EQ(bt_ms_parse_address(bad, &with), -1) << bad;

    bt_ms_set_connector(connect_pair);
    int id = 0;
    EXPECT_EQ(comm_connect(&id, "BLTH/00:1A:7D:DA:71/1/9153/1000/0/M30", Recorder::callback, 4096,
                           50, &rec),
              -1);
    EXPECT_EQ(connects, 0);  // refused before any socket
}

TEST_F(BtLink, CarriesBytesBothWaysAndDisconnectWakesAWaitingReader) {
    int id = open(connect_pair, "BLTH/001A7DDA7113/1/9153/1000/0/M30", 60000);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    int peer = peer_fd;
    test::send_all(peer, std::string("BRNO\0\x01", 6));
    ASSERT_TRUE(test::eventually([&] { return rec.data() == std::string("BRNO\0\x01", 6); }));
    int written = 0;
    EXPECT_EQ(comm_write(id, "out", 3, &written, 1000), 0);
    EXPECT_EQ(test::recv_exactly(peer, 3), "out");

    // The reader sits in one long wait; the disconnect must not wait for it to pass.
    auto done = std::async(std::launch::async, [id] { return comm_disconnect(id); });
    ASSERT_EQ(done.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(rec.codes().back(), COMM_EVENT_DISCONNECTED);
    EXPECT_EQ(test::recv_exactly(peer, 1), "");  // the far end sees the link close
}

TEST_F(BtLink, AConnectThatNeverCompletesEndsAtItsTimeOut) {
    open(connect_never, std::string("BLTH/") + kAddress + "/1/9153/200/0/M30");
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));
    EXPECT_EQ(rec.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
    EXPECT_EQ(connects, 1);
}

// Recognition and a command end to end, the RFCOMM socket replaced by a loopback one to the
// simulated instrument.
TEST(BtInstrument, IsRecognisedAsM30AndAnswersACommand) {
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
    Recorder rec;
    test::ManagerScope manager;

    void TearDown() override {
        comm_disconnect_all();
        bt_ms_set_connector(nullptr);
        close_far_ends();
        MockBluez::TearDown();
    }

    // Asks every other client on the bus for a PIN, as BlueZ would; the one answer, or the
    // first error name.
    std::string request_pin(const std::string &agent_path, const char *device_path) {
        sd_bus_message *reply = nullptr;
        std::vector<std::string> names;
        const char *own = nullptr;
        sd_bus_get_unique_name(m_bus, &own);
        sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListNames", nullptr, &reply, "");
        char **list = nullptr;
        if (reply && sd_bus_message_read_strv(reply, &list) >= 0)
            for (char **n = list; n && *n; ++n) {
                if ((*n)[0] == ':' && std::strcmp(*n, own) != 0) names.emplace_back(*n);
                free(*n);
            }
        free(list);
        sd_bus_message_unref(reply);
        std::string error;
        for (const std::string &name : names) {
            sd_bus_error e = SD_BUS_ERROR_NULL;
            reply = nullptr;
            int r = sd_bus_call_method(m_bus, name.c_str(), agent_path.c_str(), "org.bluez.Agent1",
                                       "RequestPinCode", &e, &reply, "o", device_path);
            const char *pin = nullptr;
            std::string answer = r >= 0 && sd_bus_message_read(reply, "s", &pin) >= 0 ? pin : "";
            if (r < 0 && std::string(e.name).starts_with("org.bluez.")) error = e.name;
            sd_bus_error_free(&e);
            sd_bus_message_unref(reply);
            if (!answer.empty()) return answer;
        }
        return error;
    }
};

TEST_F(BtAgent, AnswersThePinForTheDeviceBeingConnectedOnlyAndIsGoneAfterTheConnect) {
    add_adapter();
    bt_ms_set_connector(connect_never);
    int id = 0;
    std::string conn = std::string("BLTH/") + kAddress + "/1/4321/60000/0/M30";
    ASSERT_EQ(comm_connect(&id, conn.c_str(), Recorder::callback, 4096, 50, &rec), 0);
    ASSERT_TRUE(test::eventually([&] { return calls("/org/bluez", "RequestDefaultAgent") == 1; }));
    EXPECT_EQ(calls("/org/bluez", "RegisterAgent"), 1);

    std::string agent = "/com/corvanta/survokart/agent" + std::to_string(id);
    EXPECT_EQ(request_pin(agent, "/org/bluez/hci0/dev_00_1A_7D_DA_71_13"), "4321");
    EXPECT_EQ(request_pin(agent, "/org/bluez/hci0/dev_11_22_33_44_55_66"),
              "org.bluez.Error.Rejected");

    comm_disconnect(id);  // ends the connect, which unregisters on its way out
    EXPECT_EQ(rec.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
    EXPECT_EQ(calls("/org/bluez", "UnregisterAgent"), 1);
    EXPECT_EQ(request_pin(agent, "/org/bluez/hci0/dev_00_1A_7D_DA_71_13"), "");
}

}  // namespace
