// A NETW connection against a loopback peer: the events the reader thread reports.
#include <gtest/gtest.h>

#include <future>

#include "comm/net.h"
#include "support.h"

namespace {

using test::Event;
using test::Recorder;

class NetLink : public ::testing::Test {
protected:
    Recorder rec;  // outlives the manager, whose readers call it
    test::ManagerScope manager;

    int open(const std::string &conn_string, int wait_ms = 50) {
        int id = 0;
        EXPECT_EQ(comm_connect(&id, conn_string.c_str(), Recorder::callback, 4096, wait_ms, &rec),
                  0);
        return id;
    }
};

TEST_F(NetLink, ReportsConnectedDataTimeoutAndDisconnectedInOrder) {
    test::Listener peer;
    int id = open(peer.conn_string());
    int fd = peer.accept();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    EXPECT_EQ(comm_get_state(id), COMM_STATE_CONNECTED);

    const std::string bytes("BRNO\0\x01\xff payload", 15);
    test::send_all(fd, bytes);
    ASSERT_TRUE(test::eventually([&] { return rec.data() == bytes; }));
    ASSERT_TRUE(test::eventually([&] { return rec.codes().back() == COMM_EVENT_TIMEOUT; }));
    ::close(fd);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_DISCONNECTED));
    ASSERT_TRUE(test::eventually([&] { return comm_get_state(id) == 0; }));
    comm_disconnect(id);  // joins the reader: nothing can follow

    std::vector<unsigned> codes = rec.codes();
    ASSERT_GE(codes.size(), 4u);
    EXPECT_EQ(codes.front(), COMM_EVENT_CONNECTED);
    EXPECT_EQ(codes.back(), COMM_EVENT_DISCONNECTED);
    size_t last_data = 0;
    for (size_t i = 1; i + 1 < codes.size(); ++i) {
        EXPECT_TRUE(codes[i] == COMM_EVENT_DATA || codes[i] == COMM_EVENT_TIMEOUT) << codes[i];
        if (codes[i] == COMM_EVENT_DATA) last_data = i;
    }
    EXPECT_EQ(codes[codes.size() - 2], COMM_EVENT_TIMEOUT);  // silence after the data
    EXPECT_GT(last_data, 0u);
}

TEST_F(NetLink, RefusedPortReportsConnectFailedAlone) {
    int id = open("NETW/127.0.0.1/" + std::to_string(test::refused_port()) + "/2000");
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));
    comm_disconnect(id);
    EXPECT_EQ(rec.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
    EXPECT_EQ(comm_get_state(id), 0);
}

TEST_F(NetLink, HostNameIsNotLookedUp) {
    int id = open("NETW/localhost/4444/2000");
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));
    comm_disconnect(id);
    EXPECT_EQ(rec.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
}

TEST_F(NetLink, DisconnectWakesAWaitingReader) {
    test::Listener peer;
    int id = open(peer.conn_string(), 60000);  // the reader sits in one long wait
    int fd = peer.accept();
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    auto done = std::async(std::launch::async, [id] { return comm_disconnect(id); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_EQ(rec.codes().back(), COMM_EVENT_DISCONNECTED);
    EXPECT_EQ(test::recv_exactly(fd, 1), "");  // the peer sees the link close
    ::close(fd);
}

TEST_F(NetLink, DisconnectWakesAConnectInProgress) {
    test::Listener full(0);  // a backlog of 0, never accepted: the second connect hangs
    int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(full.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    int id = open(full.conn_string(60000));
    EXPECT_EQ(comm_get_state(id), COMM_STATE_OPENING);
    int written = -1;
    EXPECT_EQ(comm_write(id, "abc", 3, &written, 100), 0);  // opening: nothing is written
    EXPECT_EQ(written, 0);
    auto done = std::async(std::launch::async, [id] { return comm_disconnect(id); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(rec.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
    ::close(filler);
}

TEST_F(NetLink, WritesReachThePeerAndANonZeroCallbackEndsTheLink) {
    test::Listener peer;
    rec.on_event = [](int, unsigned event, char *data, int length) {
        return (event & 0xff) == COMM_EVENT_DATA &&
               std::string(data, length).find('!') != std::string::npos;
    };
    int id = open(peer.conn_string());
    int fd = peer.accept();
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    std::string big(200000, 'x');
    int written = 0;
    auto writer = std::async(std::launch::async, [&] {
        return comm_write(id, big.data(), static_cast<int>(big.size()), &written, 5000);
    });
    EXPECT_EQ(test::recv_exactly(fd, big.size()), big);
    EXPECT_EQ(writer.get(), 0);
    EXPECT_EQ(written, static_cast<int>(big.size()));

    test::send_all(fd, "stop!");
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_DISCONNECTED));
    comm_disconnect(id);
    EXPECT_EQ(comm_write(id, "x", 1, &written, 100), -1);  // stale id
    ::close(fd);
}

}  // namespace

namespace {

TEST(NetTransport, WaitNeedsContextsWithASocket) {
    EXPECT_EQ(net_waitfor(nullptr, 0, 0), -1);
    void *ctx = nullptr;
    ASSERT_EQ(net_init(&ctx), 0);
    EXPECT_EQ(net_waitfor(&ctx, 0, 0), -1);
    EXPECT_EQ(net_waitfor(&ctx, 1, 0), -1);  // not connected: no socket yet
    int written = 5;
    EXPECT_EQ(net_write(ctx, "x", 1, &written, 10), -1);
    EXPECT_EQ(written, 0);
    char buf[4];
    int size = 0;
    EXPECT_EQ(net_read(ctx, buf, &size), -1);
    EXPECT_EQ(net_disconnect(ctx), 0);  // before connect: harmless
    EXPECT_EQ(net_free(&ctx), 0);
    EXPECT_EQ(ctx, nullptr);
}

}  // namespace
