// Dispatch of reassembled frames to hooks and to the discovery list, driven through the
// connection event callback without a link.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "comm/comm.h"
#include "frames.h"
#include "mxx/conn_state.h"
#include "mxx/recognition.h"

namespace {

using test::frame;

std::map<std::string, int> calls;  // "hook:code" -> count; the reader here is the test thread

template <int N>
int hook(int, char *, MXX_frame *f, void *) {
    ++calls["h" + std::to_string(N) + ":" + std::to_string(mxx_frame_code(f))];
    return 0;
}

class Dispatch : public ::testing::Test {
protected:
    static constexpr int kId = 4242;
    mxx_state_ref state = std::make_shared<MXX_conn_state>();

    void SetUp() override {
        calls.clear();
        MXX_net_broadcast_reset_list();
        state->self = state;
        MXX_event_proc(kId, COMM_EVENT_CONNECTED, nullptr, 0, state.get());  // registers it
    }
    void TearDown() override {
        MXX_event_proc(kId, COMM_EVENT_DISCONNECTED, nullptr, 0, state.get());
    }
    void receive(const std::string &bytes) {
        std::string copy = bytes;
        MXX_event_proc(kId, COMM_EVENT_DATA, copy.data(), static_cast<int>(copy.size()),
                       state.get());
    }
    static MXX_broadcast_list_t list() {
        MXX_broadcast_list_t l;
        MXX_broadcast_list(&l);
        return l;
    }
};

TEST_F(Dispatch, FirstHookOfACodeIsCalledAndTheCatchAllGetsTheRest) {
    ASSERT_EQ(MXX_hook_async_event(kId, 10007, hook<1>), 0);
    ASSERT_EQ(MXX_hook_async_event(kId, 10007, hook<1>), 0);  // same pair: one entry
    ASSERT_EQ(MXX_hook_async_event(kId, 10007, hook<2>), 0);  // stored, never called
    ASSERT_EQ(MXX_hook_async_event(kId, MXX_CODE_ANY, hook<3>), 0);
    EXPECT_EQ(state->hook_count.load(), 2);
    receive(frame(10007, "s") + frame(10005, "t"));
    EXPECT_EQ(calls, (std::map<std::string, int>{{"h1:10007", 1}, {"h3:10005", 1}}));
}

TEST_F(Dispatch, FullTableRefusesAndA255thHookTakesTheCatchAllEntry) {
    for (int code = 1; code <= 254; ++code)
        ASSERT_EQ(MXX_hook_async_event(kId, code, hook<1>), 0);
    ASSERT_EQ(MXX_hook_async_event(kId, 255, hook<2>), 0);  // no catch-all yet: fits
    EXPECT_EQ(MXX_hook_async_event(kId, 256, hook<1>), -1);
    receive(frame(255));
    EXPECT_EQ(calls["h2:255"], 1);
    // A catch-all registered later replaces that entry.
    ASSERT_EQ(MXX_hook_async_event(kId, MXX_CODE_ANY, hook<3>), 0);
    receive(frame(255) + frame(7));
    EXPECT_EQ(calls["h3:255"], 1);
    EXPECT_EQ(calls["h1:7"], 1);
}

TEST_F(Dispatch, TableWithACatchAllHolds254CodeHooks) {
    ASSERT_EQ(MXX_hook_async_event(kId, MXX_CODE_ANY, hook<3>), 0);
    for (int code = 1; code <= 254; ++code)
        ASSERT_EQ(MXX_hook_async_event(kId, code, hook<1>), 0);
    EXPECT_EQ(MXX_hook_async_event(kId, 300, hook<1>), -1);
    receive(frame(300));
    EXPECT_EQ(calls["h3:300"], 1);
}

TEST_F(Dispatch, DiscoveryReplyMidStreamGoesToTheListOnly) {
    ASSERT_EQ(MXX_hook_async_event(kId, MXX_CODE_ANY, hook<3>), 0);
    std::string payload(66, '\0');
    std::memcpy(payload.data(), "C1234567", 8);
    std::memcpy(payload.data() + 10, "127.0.0.2", 9);
    std::memcpy(payload.data() + 26, "M30 lab", 7);
    receive(frame(10005) + frame(MXX_CODE_DISCOVERY_REPLY, payload) + frame(10007));
    EXPECT_EQ(calls, (std::map<std::string, int>{{"h3:10005", 1}, {"h3:10007", 1}}));
    MXX_broadcast_list_t l = list();
    ASSERT_EQ(l.count, 1);
    EXPECT_STREQ(l.entries[0].key, "C1234567");
    EXPECT_STREQ(l.entries[0].address, "127.0.0.2");
    EXPECT_EQ(std::string(l.entries[0].text), "M30 lab");
}

TEST(DiscoveryList, RepliesAreKeptOncePerKeyUpToTwenty) {
    MXX_net_broadcast_reset_list();
    auto reply = [](const std::string &key, const std::string &text = "") {
        std::string payload(66, '\0');
        std::memcpy(payload.data(), key.data(), std::min<size_t>(key.size(), 10));
        std::memcpy(payload.data() + 26, text.data(), std::min<size_t>(text.size(), 40));
        return frame(MXX_CODE_DISCOVERY_REPLY, payload);
    };
    std::string d = "junk" + reply("C0000001", "first");
    MXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    d = reply("C0000001", "again") + frame(9007, "C0000001");
    MXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    MXX_broadcast_list_t l;
    MXX_broadcast_list(&l);
    ASSERT_EQ(l.count, 1);
    EXPECT_STREQ(l.entries[0].text, "first");

    for (int i = 2; i <= 25; ++i) {
        d = reply("C" + std::to_string(1000000 + i));
        MXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    }
    MXX_broadcast_list(&l);
    EXPECT_EQ(l.count, MXX_BROADCAST_LIST_MAX);
    EXPECT_STREQ(l.entries[19].key, "C1000020");  // the first twenty are kept

    // A short reply fills what it has and leaves the rest empty.
    MXX_net_broadcast_reset_list();
    d = frame(MXX_CODE_DISCOVERY_REPLY, "K12");
    MXX_broadcast_event_proc(d.data(), static_cast<int>(d.size()));
    MXX_broadcast_list(&l);
    ASSERT_EQ(l.count, 1);
    EXPECT_STREQ(l.entries[0].key, "K12");
    EXPECT_STREQ(l.entries[0].address, "");
}

TEST_F(Dispatch, RecognitionRunsUntilATestAccepts) {
    static int connected_type = -1;
    connected_type = -1;
    state->probe_test = MDD_test_probe;
    state->on_connected = [](int, char *, int type, void *) {
        connected_type = type;
        return 0;
    };
    ASSERT_EQ(MXX_hook_async_event(kId, MXX_CODE_ANY, hook<3>), 0);
    receive(frame(10007) + frame(9007, "C7654321") + frame(9007, "K0000000"));
    EXPECT_EQ(connected_type, MXX_TYPE_M30);
    EXPECT_EQ(state->device_type, MXX_TYPE_M30);
    EXPECT_EQ(MXX_get_cmd_num_try(kId), 3);  // the later "K" frame no longer runs the tests
    EXPECT_EQ(calls["h3:9007"], 2);          // recognition frames reach hooks too
}

TEST(RecognitionTests, ModelsInTheirOrder) {
    auto state = std::make_shared<MXX_conn_state>();
    constexpr int id = 777;
    mxx_register_state(id, state);
    auto recognise = [&](uint16_t code, const std::string &payload) {
        std::string f = frame(code, payload);
        int type = -1;
        int accepted = MDD_test_probe(id, reinterpret_cast<MXX_frame *>(f.data()), &type, 0);
        return std::make_tuple(accepted, type, MXX_get_cmd_num_try(id));
    };
    EXPECT_EQ(recognise(9007, "C1234567"), std::make_tuple(1, 12, 3));
    EXPECT_EQ(recognise(9007, "K1234567"), std::make_tuple(1, 24, 1));
    EXPECT_EQ(recognise(9007, "O1234567"), std::make_tuple(1, 26, 8));
    EXPECT_EQ(recognise(9007, "QUA-512C"), std::make_tuple(1, 72, 3));
    EXPECT_EQ(recognise(9007, "G1234567"), std::make_tuple(1, 20, 3));
    EXPECT_EQ(recognise(9007, "81234567"), std::make_tuple(1, 9, 6));
    EXPECT_EQ(recognise(9007, "Z1234567"), std::make_tuple(1, 3, 3));  // any other 9007: M17
    EXPECT_EQ(recognise(9007, ""), std::make_tuple(1, 3, 3));
    EXPECT_EQ(recognise(2001, ""), std::make_tuple(1, 2, 3));
    EXPECT_EQ(recognise(2109, "x"), std::make_tuple(1, 1, 3));
    EXPECT_EQ(recognise(10007, "C"), std::make_tuple(0, 0, 3));
    mxx_forget_state(id, state.get());
}

}  // namespace
