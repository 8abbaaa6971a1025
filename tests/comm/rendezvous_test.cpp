// The response rendezvous over a real loopback link. Test frames are 4 bytes: a 16-bit code
// (little-endian) and two tag bytes; the callback hands each whole frame to the rendezvous.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "comm/conn_table.h"
#include "support.h"

namespace {

using test::Recorder;

std::string frame(int code, char a = 0, char b = 0) {
    return std::string{static_cast<char>(code & 0xff), static_cast<char>(code >> 8), a, b};
}

// True once a thread sits inside the given condition's wait on connection `id`.
bool someone_waits(int id, condvar_t comm_conn_t::*cond) {
    comm_conn_ref conn = comm_find(*comm_current_table(), id);
    if (!conn) return false;
    std::lock_guard g((*conn.*cond).event_lock);
    return (*conn.*cond).waiters > 0;
}

class Rendezvous : public ::testing::Test {
protected:
    Recorder rec;  // outlives the manager, whose readers call it
    test::Listener listener;
    test::ManagerScope manager;
    int id = 0;
    int peer = -1;
    std::string pending;            // reader thread only
    std::atomic<int> delivered{0};  // frames a slot took

    void SetUp() override {
        rec.on_event = [this](int conn_id, unsigned event, char *data, int length) {
            if ((event & 0xff) != COMM_EVENT_DATA) return 0;
            pending.append(data, static_cast<size_t>(length));
            while (pending.size() >= 4) {
                int code = static_cast<unsigned char>(pending[0]) |
                           static_cast<unsigned char>(pending[1]) << 8;
                if (comm_fill_rsp_buff(conn_id, code, pending.data(), 4) == 0) ++delivered;
                pending.erase(0, 4);
            }
            return 0;
        };
        ASSERT_EQ(
            comm_connect(&id, listener.conn_string().c_str(), Recorder::callback, 4096, 200, &rec),
            0);
        peer = listener.accept();
        ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    }
    void TearDown() override {
        comm_disconnect(id);
        if (peer >= 0) ::close(peer);
    }

    char rsp[16] = {}, refusal[16] = {}, retry[16] = {};
    void hook() {
        comm_hook_response(id, 1100, rsp, sizeof rsp, 1101, refusal, sizeof refusal, 1102, retry,
                           sizeof retry);
    }
};

TEST_F(Rendezvous, ResponseThatArrivedBeforeTheWaitIsReturnedAtOnce) {
    hook();
    test::send_all(peer, frame(1100, 'o', 'k'));
    ASSERT_TRUE(test::eventually([&] { return delivered == 1; }));
    int l0 = -1, l1 = -1, l2 = -1;
    auto wait = std::async(std::launch::async,
                           [&] { return comm_wait_response(id, &l0, &l1, &l2, 600000); });
    ASSERT_EQ(wait.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(wait.get(), 0);
    EXPECT_EQ(l0, 4);
    EXPECT_EQ(l1, 0);
    EXPECT_EQ(l2, 0);
    EXPECT_EQ(std::string(rsp, 4), frame(1100, 'o', 'k'));
    comm_unhook_response(id);
}

TEST_F(Rendezvous, TimeOutAndUnarmedCodes) {
    hook();
    int l0 = -1;
    EXPECT_EQ(comm_wait_response(id, &l0, nullptr, nullptr, 30), COMM_WAIT_TIMED_OUT);
    EXPECT_EQ(l0, 0);
    // A frame nobody waits for is not taken; one for the retry slot is.
    test::send_all(peer, frame(4242) + frame(1102, 'r'));
    int l2 = 0;
    EXPECT_EQ(comm_wait_response(id, &l0, nullptr, &l2, 600000), 0);
    EXPECT_EQ(l0, 0);
    EXPECT_EQ(l2, 4);
    EXPECT_EQ(retry[2], 'r');
    comm_unhook_response(id);
    EXPECT_EQ(comm_fill_rsp_buff(id, 1100, "abcd", 4), -1);  // disarmed
}

TEST_F(Rendezvous, LargerFrameIsCutToTheBufferButReportsItsLength) {
    char small[2];
    comm_hook_response(id, 1100, small, sizeof small, 1101, refusal, sizeof refusal, 1102, retry,
                       sizeof retry);
    ASSERT_EQ(comm_fill_rsp_buff(id, 1100, "wxyz", 4), 0);
    int l0 = 0;
    EXPECT_EQ(comm_wait_response(id, &l0, nullptr, nullptr, 1000), 0);
    EXPECT_EQ(l0, 4);
    EXPECT_EQ(std::string(small, 2), "wx");
    comm_unhook_response(id);
}

TEST_F(Rendezvous, ClosingConnectionReleasesTheWaiterAndTheTransaction) {
    hook();
    auto wait = std::async(std::launch::async, [&] {
        int r = comm_wait_response(id, nullptr, nullptr, nullptr, 600000);
        comm_unhook_response(id);  // after the end: must still release the lock cleanly
        return r;
    });
    ASSERT_TRUE(test::eventually([&] { return someone_waits(id, &comm_conn_t::rsp_cond); }));
    ::close(peer);
    peer = -1;
    ASSERT_EQ(wait.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(wait.get(), COMM_WAIT_CLOSED);
    EXPECT_EQ(comm_wait_response(id, nullptr, nullptr, nullptr, 10), -1);
    // Once the reader has deleted the connection, the id is unknown.
    EXPECT_TRUE(test::eventually([&] { return comm_wait_connected(id, 10) == -1; }));
}

TEST_F(Rendezvous, TransactionsOfTwoThreadsNeverInterleave) {
    std::thread echo([fd = peer] {
        for (;;) {
            std::string f = test::recv_exactly(fd, 4);
            if (f.size() < 4) return;
            test::send_all(fd, f);
        }
    });
    std::atomic<int> inside{0}, overlaps{0}, wrong{0};
    auto client = [&](char tag) {
        char mine[4], refused[4], again[4];
        for (char seq = 0; seq < 40; ++seq) {
            comm_hook_response(id, 1100, mine, 4, 1101, refused, 4, 1102, again, 4);
            if (++inside != 1) ++overlaps;
            std::string request = frame(1100, tag, seq);
            int written = 0;
            comm_write(id, request.data(), 4, &written, 1000);
            int l0 = 0;
            if (comm_wait_response(id, &l0, nullptr, nullptr, 5000) != 0 || l0 != 4 ||
                std::string(mine, 4) != request)
                ++wrong;
            --inside;
            comm_unhook_response(id);
        }
    };
    std::thread a(client, 'a'), b(client, 'b');
    a.join();
    b.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    ::shutdown(peer, SHUT_RDWR);
    echo.join();
}

// An answer delivered after the wait timed out but before the waiter had the lock back is the
// answer, not a reason to send the command (a key press, say) a second time.
TEST_F(Rendezvous, AnswerThatBeatsTheWaiterBackToTheLockIsUsed) {
    hook();
    std::atomic<bool> returned{false};
    int l0 = -1;
    auto wait = std::async(std::launch::async, [&] {
        int r = comm_wait_response(id, &l0, nullptr, nullptr, 300);
        returned = true;
        return r;
    });
    ASSERT_TRUE(test::eventually([&] { return someone_waits(id, &comm_conn_t::rsp_cond); }));
    comm_conn_ref conn = comm_find(*comm_current_table(), id);
    condvar_lock(&conn->rsp_cond);
    ASSERT_FALSE(returned);
    // The waiter's time runs out while the lock is ours; the answer comes in before it is back.
    ASSERT_TRUE(test::eventually([&] { return !someone_waits(id, &comm_conn_t::rsp_cond); }));
    EXPECT_EQ(comm_fill_rsp_buff(id, 1100, frame(1100, 'l', 't').data(), 4), 0);
    condvar_unlock(&conn->rsp_cond);
    ASSERT_EQ(wait.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(wait.get(), 0);
    EXPECT_EQ(l0, 4);
    comm_unhook_response(id);
}

// A plain write waits for the wait in progress of another thread's transaction, not for all its
// attempts: the connection lock goes to the threads in the order they asked for it.
TEST_F(Rendezvous, PlainWriteGoesBetweenTheAttemptsOfATransaction) {
    auto transaction = std::async(std::launch::async, [&] {
        hook();
        for (char attempt = 1; attempt <= 3; ++attempt) {
            std::string request = frame(1100, 't', attempt);
            comm_write(id, request.data(), 4, nullptr, 1000);
            comm_wait_response(id, nullptr, nullptr, nullptr, 400);
        }
        comm_unhook_response(id);
    });
    ASSERT_TRUE(test::eventually([&] { return someone_waits(id, &comm_conn_t::rsp_cond); }));
    auto plain = std::async(std::launch::async, [&] {
        std::string event = frame(2000, 'p');
        return comm_write(id, event.data(), 4, nullptr, 1000);
    });
    comm_slot_t &slot = comm_slot_of(*comm_current_table(), id);
    auto queued = [&] {
        std::lock_guard g(slot.conn_lock.guard);
        return slot.conn_lock.next_ticket - slot.conn_lock.serving >= 2;
    };
    ASSERT_TRUE(test::eventually(queued));
    EXPECT_EQ(test::recv_exactly(peer, 8), frame(1100, 't', 1) + frame(2000, 'p'));
    EXPECT_EQ(plain.get(), 0);
    transaction.get();
}

TEST_F(Rendezvous, IdentifiedFlagIsRaisedAndClearedAtTheEnd) {
    EXPECT_EQ(comm_wait_connected(id, 10), COMM_WAIT_CONNECTED_TIMEOUT);
    auto waiter = std::async(std::launch::async, [&] { return comm_wait_connected(id, 600000); });
    ASSERT_EQ(comm_signal_connected(id), 0);
    ASSERT_EQ(waiter.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
    EXPECT_EQ(comm_wait_connected(id, 600000), 0);  // already raised: at once
}

TEST_F(Rendezvous, EndOfTheLinkReleasesAnIdentificationWaiter) {
    auto waiter = std::async(std::launch::async, [&] { return comm_wait_connected(id, 600000); });
    ASSERT_TRUE(test::eventually([&] { return someone_waits(id, &comm_conn_t::ident_cond); }));
    ::close(peer);
    peer = -1;
    ASSERT_EQ(waiter.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(waiter.get(), COMM_WAIT_CLOSED);
}

}  // namespace
