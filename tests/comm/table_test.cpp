// The connection table: capacity, id growth, stale ids, iteration, and nothing left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <set>

#include "support.h"

namespace {

using test::Recorder;

int count_entries(const char *dir) {
    int n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

std::vector<std::pair<int, int>> used_slots() {  // (index, id)
    std::vector<std::pair<int, int>> out;
    int it = 0, id = 0, index = 0;
    comm_data_cntr_init(&it);
    while (comm_get_data(&it, &id, nullptr)) {
        if (id) out.emplace_back(index, id);
        ++index;
    }
    EXPECT_EQ(index, COMM_MAX_CONN);
    return out;
}

class Table : public ::testing::Test {
protected:
    Recorder rec;  // outlives the manager, whose readers call it
    test::Listener peer{1024};
    test::ManagerScope manager;

    int open() {
        int id = 0;
        if (comm_connect(&id, peer.conn_string().c_str(), Recorder::callback, 64, 1000, &rec) != 0)
            return -1;
        return id;
    }
    // Opens connections until the table is full; waits until all are connected.
    std::vector<int> fill() {
        std::vector<int> ids;
        for (int i = 0; i < COMM_MAX_CONN; ++i)
            ids.push_back(open());
        EXPECT_TRUE(test::eventually([&] {
            for (int id : ids)
                if (comm_get_state(id) != COMM_STATE_CONNECTED) return false;
            return true;
        }));
        return ids;
    }
};

TEST_F(Table, FullTableRefusesThenReusesTheFreedSlotWithALargerId) {
    std::vector<int> ids = fill();
    ASSERT_EQ(std::set<int>(ids.begin(), ids.end()).size(), size_t(COMM_MAX_CONN));
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], ids[0] + int(i));  // ids carry on from earlier tables of the process
    EXPECT_EQ(open(), -1);                   // the 257th

    // Iteration reports every slot, index 255 included, each with the id that lives there.
    auto slots = used_slots();
    ASSERT_EQ(slots.size(), size_t(COMM_MAX_CONN));
    EXPECT_EQ(slots.back().first, 255);
    for (auto [index, id] : slots)
        EXPECT_EQ(id % COMM_MAX_CONN, index);

    int closed = ids[9];
    ASSERT_EQ(comm_disconnect(closed), 0);
    EXPECT_EQ(comm_get_state(closed), 0);
    int next = open();
    EXPECT_GT(next, ids.back());
    EXPECT_EQ(next % COMM_MAX_CONN, closed % COMM_MAX_CONN);
}

TEST_F(Table, ZeroAndStaleIdsAreRefusedByEveryOperation) {
    int stale = open();
    ASSERT_TRUE(test::eventually([&] { return comm_get_state(stale) == COMM_STATE_CONNECTED; }));
    ASSERT_EQ(comm_disconnect(stale), 0);
    int live = open();
    ASSERT_TRUE(test::eventually([&] { return comm_get_state(live) == COMM_STATE_CONNECTED; }));

    for (int id : {0, stale, -5, stale + COMM_MAX_CONN}) {
        int written = 7, l0 = 7;
        char buf[4];
        EXPECT_EQ(comm_get_state(id), 0);
        EXPECT_EQ(comm_write(id, "x", 1, &written, 100), -1);
        EXPECT_EQ(written, 0);
        comm_hook_response(id, 1, buf, 4, 2, buf, 4, 3, buf, 4);
        EXPECT_EQ(comm_fill_rsp_buff(id, 1, "abcd", 4), -1);
        EXPECT_EQ(comm_wait_response(id, &l0, nullptr, nullptr, 10), -1);
        EXPECT_EQ(l0, 0);
        comm_unhook_response(id);
        EXPECT_EQ(comm_signal_connected(id), -1);
        EXPECT_EQ(comm_wait_connected(id, 10), -1);
        EXPECT_EQ(comm_disconnect(id), 0);
    }
    EXPECT_EQ(comm_get_state(live), COMM_STATE_CONNECTED);
}

TEST_F(Table, ManagerNotStartedRefusesEverything) {
    comm_shut();
    int id = 0, it = 0;
    EXPECT_EQ(comm_get_state(1), -1);
    EXPECT_EQ(comm_disconnect(1), -1);
    EXPECT_EQ(comm_write(1, "x", 1, nullptr, 10), -1);
    EXPECT_EQ(comm_wait_response(1, nullptr, nullptr, nullptr, 10), -1);
    EXPECT_EQ(comm_connect(&id, peer.conn_string().c_str(), Recorder::callback, 64, 100, &rec), -1);
    EXPECT_EQ(comm_get_data(&it, &id, nullptr), 0);
    EXPECT_EQ(comm_init(), 0);
    EXPECT_EQ(comm_init(), 0);  // idempotent
}

TEST_F(Table, SlotWithATransactionStillHeldIsNotReused) {
    std::vector<int> ids = fill();
    int held = ids[20];
    char buf[4];
    std::promise<void> hooked, release;
    std::thread transaction([&] {
        comm_hook_response(held, 1, buf, 4, 2, buf, 4, 3, buf, 4);
        hooked.set_value();
        release.get_future().wait();
        comm_unhook_response(held);
    });
    hooked.get_future().wait();
    ASSERT_EQ(comm_disconnect(held), 0);
    EXPECT_EQ(open(), -1);  // its slot waits for the transaction to let go
    release.set_value();
    transaction.join();
    int next = open();
    EXPECT_EQ(next % COMM_MAX_CONN, held % COMM_MAX_CONN);
}

TEST_F(Table, ConnectCyclesLeaveNoThreadDescriptorOrSlotBehind) {
    auto cycle = [&] {
        int id = open();
        ASSERT_GT(id, 0);
        int server_side = peer.accept();
        ASSERT_TRUE(test::eventually([&] { return comm_get_state(id) == COMM_STATE_CONNECTED; }));
        ASSERT_EQ(comm_disconnect(id), 0);
        ::close(server_side);
    };
    cycle();  // sanitizer runtimes start helper threads on first use
    int fds_before = count_entries("/proc/self/fd");
    int threads_before = count_entries("/proc/self/task");
    for (int i = 0; i < 100; ++i)
        cycle();
    EXPECT_TRUE(used_slots().empty());
    EXPECT_EQ(count_entries("/proc/self/fd"), fds_before);
    EXPECT_EQ(count_entries("/proc/self/task"), threads_before);
}

}  // namespace

namespace {

// A reader stuck in its last callback outlives the 5 s join of comm_shut. It must finish against
// its own connection and table, leaving a restarted manager's new connection with the same id
// untouched.
TEST(TableLifetime, ReaderThatOutlivesItsJoinNeverTouchesANewerTable) {
    auto gate = std::make_shared<std::promise<void>>();
    std::shared_future<void> opened = gate->get_future().share();
    static std::shared_future<void> *stuck_gate = nullptr;
    stuck_gate = &opened;
    auto stuck = [](int, unsigned event, char *, int, void *) {
        if (event == COMM_EVENT_DISCONNECTED) stuck_gate->wait();
        return 0;
    };
    test::Listener peer;
    comm_init();
    int old_id = 0;
    ASSERT_EQ(comm_connect(&old_id, peer.conn_string().c_str(), stuck, 64, 1000, nullptr), 0);
    ASSERT_TRUE(test::eventually([&] { return comm_get_state(old_id) == COMM_STATE_CONNECTED; }));
    comm_shut();  // gives up on the stuck reader after 5 s

    Recorder rec;
    comm_init();
    int new_id = 0;
    ASSERT_EQ(comm_connect(&new_id, peer.conn_string().c_str(), Recorder::callback, 64, 1000, &rec),
              0);
    EXPECT_GT(new_id, old_id);  // ids never repeat, not even across a restart of the manager
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    int threads_with_stuck_reader = count_entries("/proc/self/task");
    gate->set_value();
    EXPECT_TRUE(test::eventually(
        [&] { return count_entries("/proc/self/task") == threads_with_stuck_reader - 1; }));
    EXPECT_EQ(comm_get_state(new_id), COMM_STATE_CONNECTED);
    comm_shut();
}

}  // namespace
