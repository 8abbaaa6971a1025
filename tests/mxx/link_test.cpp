// Transactions, recognition, hooks and discovery against the simulated instrument over loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "comm/comm.h"
#include "common/eventually.h"
#include "frames.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "sim/instrument.h"

namespace {

using test::eventually;
using test::kDeadline;

// What the connection callbacks saw; they run on the reader thread.
struct Device {
    std::atomic<int> type{-1};
    std::atomic<int> disconnected{0};
    std::atomic<int> events{0};

    static int connected(int, char *, int device_type, void *user) {
        static_cast<Device *>(user)->type = device_type;
        return 0;
    }
    static int gone(int, char *, void *user) {
        ++static_cast<Device *>(user)->disconnected;
        return 0;
    }
    static int event(int, char *, MXX_frame *, void *user) {
        ++static_cast<Device *>(user)->events;
        return 0;
    }
};

std::vector<std::vector<uint8_t>> frames_of(const sim::Instrument &in, uint16_t code) {
    std::vector<std::vector<uint8_t>> out;
    for (auto &f : in.commands_seen())
        if (mxx_frame_code(f.data()) == code) out.push_back(f);
    return out;
}

class Link : public ::testing::Test {
protected:
    Device device;
    sim::Instrument instrument{sim::in_process_options()};
    int id = 0;

    void SetUp() override {
        ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
        instrument.set_command(1234, sim::succeed());  // a command the instrument knows
        std::string error;
        ASSERT_TRUE(instrument.start(&error)) << error;
    }
    void TearDown() override { MXX_shut(); }

    int connect() {
        char conn[COMM_CONN_STRING_SIZE];
        MXX_make_net_conn_string(conn, "127.0.0.1", instrument.port());
        EXPECT_EQ(MXX_connect(conn, &id, Device::connected, Device::gone, Device::gone, MDD_probe,
                              MDD_test_probe, &device),
                  0);
        return MXX_wait_connected(id, 10000);
    }
    void connect_m30() {
        ASSERT_EQ(connect(), 0);
        ASSERT_EQ(device.type, MXX_TYPE_M30);
        instrument.clear_commands();
    }
    int send(uint16_t code, const std::string &payload, char *rsp, int rsp_size, int *len,
             int *param, int *status, int timeout_ms = 150) {
        return MXX_send_cmd(id, code, 0, payload.data(), static_cast<unsigned>(payload.size()), rsp,
                            rsp_size, len, param, status, timeout_ms, 1);
    }
};

TEST_F(Link, UnansweredCommandIsSentOncePerAttemptAndTouchesNoOutput) {
    connect_m30();
    sim::Faults f;
    f.drop = 1;
    instrument.set_faults(f);
    char rsp[8] = "keepme";
    int len = -7, param = -7, status = -7;
    EXPECT_EQ(send(1234, "ab", rsp, sizeof rsp, &len, &param, &status), 0);
    ASSERT_TRUE(instrument.wait_commands(3, kDeadline));
    auto seen = frames_of(instrument, 1234);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[1], seen[2]);
    EXPECT_EQ(mxx_frame_param(seen[0].data()), 150);  // the time-out fills a zero param
    EXPECT_STREQ(rsp, "keepme");
    EXPECT_EQ(len, -7);
    EXPECT_EQ(param, -7);
    EXPECT_EQ(status, -7);
}

TEST_F(Link, RetryFramesAreHonouredOrFail) {
    connect_m30();
    sim::Faults f;
    f.retry0 = 1;
    instrument.set_faults(f);
    EXPECT_EQ(send(1234, "", nullptr, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(frames_of(instrument, 1234).size(), 3u);

    instrument.clear_commands();
    f.retry0 = 0;
    f.retry_fail = 1;
    instrument.set_faults(f);
    int status = 0;
    EXPECT_EQ(send(1234, "", nullptr, 0, nullptr, nullptr, &status), MXX_RESULT_FAILED);
    EXPECT_EQ(status, sim::kRetryFailStatus);
    EXPECT_EQ(frames_of(instrument, 1234).size(), 1u);
}

TEST_F(Link, RefusalAndFailureStatusGiveOne) {
    connect_m30();
    sim::Faults f;
    f.refuse = 1;
    instrument.set_faults(f);
    EXPECT_EQ(send(1234, "", nullptr, 0, nullptr, nullptr, nullptr), MXX_RESULT_FAILED);
    f.refuse = 0;
    f.fail_status = 1;
    instrument.set_faults(f);
    int status = 0;
    EXPECT_EQ(send(1234, "", nullptr, 0, nullptr, nullptr, &status), MXX_RESULT_FAILED);
    EXPECT_EQ(status, sim::kFailStatus);
}

TEST_F(Link, ResponseWinsOverARefusalAndItsPayloadIsCopied) {
    connect_m30();
    instrument.set_command(1300, [](const sim::Command &c) {
        sim::Answer a = sim::default_answer(c);
        a.payload = {'r', 'e', 'c', 'o', 'r', 'd'};
        a.param = 77;
        return std::optional<sim::Answer>(a);
    });
    // Too large for the caller's buffer: success, nothing copied.
    char small[4] = {'x', 'x', 'x', 'x'};
    int len = -1;
    EXPECT_EQ(send(1300, "q", small, sizeof small, &len, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(small, 4), "xxxx");
    EXPECT_EQ(len, -1);

    // Last: a refusal that arrives after the response would answer the next command.
    sim::Faults f;
    f.response_then_refusal = 1;
    instrument.set_faults(f);
    char rsp[16] = {};
    int param = 0, status = -1;
    EXPECT_EQ(send(1300, "q", rsp, sizeof rsp, &len, &param, &status), 0);
    EXPECT_EQ(std::string(rsp, len), "record");
    EXPECT_EQ(param, 77);
    EXPECT_EQ(status, 0);
}

TEST_F(Link, NoWaitSendsTheFrameAsBuilt) {
    connect_m30();
    ASSERT_EQ(MXX_send_cmd(id, 8007, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 200, 0),
              0);
    ASSERT_EQ(
        MXX_send_cmd(id, 4321, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 70000, 0), 0);
    ASSERT_TRUE(instrument.wait_commands(2, kDeadline));
    auto seen = instrument.commands_seen();
    std::vector<uint8_t> probe = {'B',  'R',  'N',  'O',  0x47, 0x1F, 0x01,
                                  0x00, 0xC8, 0x00, 0x00, 0x80, 0x00};
    EXPECT_EQ(seen[0], probe);
    EXPECT_EQ(mxx_frame_param(seen[1].data()), 4464);
    EXPECT_EQ(seen[1].size(), 13u);
}

TEST_F(Link, CommandOnAnOpeningConnectionEndsAtOnce) {
    // A listener whose queue is full: the connect stays in progress.
    int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(full, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(full, 0);
    socklen_t alen = sizeof addr;
    ::getsockname(full, reinterpret_cast<sockaddr *>(&addr), &alen);
    int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    std::string conn = "NETW/127.0.0.1/" + std::to_string(ntohs(addr.sin_port)) + "/60000";
    ASSERT_EQ(MXX_connect(conn.c_str(), &id, nullptr, nullptr, nullptr, MDD_probe, MDD_test_probe,
                          nullptr),
              0);
    ASSERT_EQ(MXX_get_conn_state_id(id), COMM_STATE_OPENING);
    auto r = std::async(std::launch::async, [&] {
        return MXX_send_cmd(id, 1234, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 60000,
                            1);
    });
    ASSERT_EQ(r.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(r.get(), 0);
    EXPECT_EQ(MXX_send_cmd(id, 1234, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 10, 0),
              0);
    MXX_disconnect(id);
    ::close(filler);
    ::close(full);
}

TEST_F(Link, InstrumentsAreRecognisedByTheirAnswers) {
    struct Case {
        std::string serial;
        bool answer_8007;
        int type;
        int attempts;
    };
    for (const Case &c : {Case{"C1234567", true, 12, 3}, Case{"K1234567", true, 24, 1},
                          Case{"Z1234567", true, 3, 3}, Case{"", false, 2, 3}}) {
        SCOPED_TRACE(c.serial);
        device.type = -1;
        instrument.set_serial(c.serial);
        sim::Faults f;
        f.ignore_probes = !c.answer_8007;
        instrument.set_faults(f);
        // Playing the model that answers 1001 (with 2001); 1109 stays unanswered.
        instrument.set_command(1001, [](const sim::Command &cmd) {
            return std::optional<sim::Answer>(sim::default_answer(cmd));
        });
        ASSERT_EQ(connect(), 0);
        EXPECT_EQ(device.type, c.type);
        EXPECT_EQ(MXX_get_cmd_num_try(id), c.attempts);
        MXX_disconnect(id);
        ASSERT_TRUE(eventually([&] { return !instrument.linked(); }));
    }
}

TEST_F(Link, SilentInstrumentGetsTheProbeCycleThenTheLinkCloses) {
    sim::Faults f;
    f.ignore_probes = true;
    instrument.set_faults(f);
    auto nothing = [](const sim::Command &) { return std::optional<sim::Answer>(); };
    instrument.set_command(1109, nothing);
    instrument.set_command(1001, nothing);
    EXPECT_EQ(connect(), COMM_WAIT_CLOSED);  // released, but not as a success
    ASSERT_TRUE(eventually([&] { return device.disconnected == 1; }));
    EXPECT_EQ(device.type, -1);
    std::vector<std::pair<int, int>> probes;
    for (auto &frame : instrument.commands_seen())
        probes.emplace_back(mxx_frame_code(frame.data()), mxx_frame_param(frame.data()));
    std::vector<std::pair<int, int>> expected = {
        {8007, 1}, {8007, 1}, {8007, 100}, {1109, 1000}, {1001, 1000}};
    EXPECT_EQ(probes, expected);
    EXPECT_EQ(MXX_get_conn_state_id(id), 0);
}

TEST_F(Link, EventsReachTheirHook) {
    connect_m30();
    ASSERT_EQ(MXX_hook_async_event(id, 10007, Device::event), 0);
    instrument.send_event(10007, std::vector<uint8_t>(40, 1));
    instrument.send_event(10005, std::vector<uint8_t>(8, 2));  // nobody hooked it
    instrument.send_event(10007, {});
    EXPECT_TRUE(eventually([&] { return device.events == 2; }));
}

TEST(Discovery, ReplyOverUdpLandsOnceInTheList) {
    sim::Options o = sim::in_process_options();
    o.udp = true;
    o.udp_port = 0;
    o.udp_reply_port = 0;
    o.serial = "C7777777";
    sim::Instrument instrument(o);
    std::string error;
    ASSERT_TRUE(instrument.start(&error)) << error;
    MXX_net_broadcast_reset_list();

    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(instrument.udp_port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned char request[MXX_FRAME_OVERHEAD];
    MXX_build_discovery_request(request);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(
            ::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
            ssize_t(sizeof request));
        char reply[2048];
        ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        ASSERT_GT(n, 0);
        MXX_broadcast_event_proc(reply, static_cast<int>(n));
    }
    ::close(fd);
    MXX_broadcast_list_t list;
    MXX_broadcast_list(&list);
    ASSERT_EQ(list.count, 1);
    EXPECT_STREQ(list.entries[0].key, "C7777777");
    EXPECT_STREQ(list.entries[0].address, "127.0.0.1");
}

}  // namespace

namespace {

int thread_count() {
    int n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

std::shared_future<void> stuck_opened;
int stuck_gone(int, char *, void *) {
    stuck_opened.wait();
    return 0;
}

// A reader thread that the library gave up on at shut-down must not answer, or clean up after, a
// connection of a later start of the library.
TEST(LateReader, NeverReachesAConnectionOfALaterStart) {
    sim::Instrument instrument{sim::in_process_options()};
    std::string error;
    ASSERT_TRUE(instrument.start(&error)) << error;
    char conn[COMM_CONN_STRING_SIZE];
    MXX_make_net_conn_string(conn, "127.0.0.1", instrument.port());
    std::promise<void> gate;
    stuck_opened = gate.get_future().share();
    Device old_device, new_device;
    int old_id = 0, new_id = 0;

    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(MXX_connect(conn, &old_id, Device::connected, Device::gone, stuck_gone, MDD_probe,
                          MDD_test_probe, &old_device),
              0);
    ASSERT_EQ(MXX_wait_connected(old_id, 10000), 0);
    MXX_shut();  // gives up on the stuck reader after its join time-out

    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(MXX_connect(conn, &new_id, Device::connected, Device::gone, Device::gone, MDD_probe,
                          MDD_test_probe, &new_device),
              0);
    ASSERT_EQ(MXX_wait_connected(new_id, 10000), 0);
    EXPECT_NE(new_id, old_id);
    const int threads_with_stuck_reader = thread_count();
    gate.set_value();
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_with_stuck_reader - 1; }));
    EXPECT_EQ(MXX_get_cmd_num_try(new_id), 3);  // the new link's protocol state is still there
    MXX_shut();
}

}  // namespace
