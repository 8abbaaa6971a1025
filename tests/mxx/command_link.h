// A simulated instrument served in-process on an ephemeral loopback port and one connection to
// it, recognised with a given probe pair; for tests of the command sets.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "common/eventually.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "sim/instrument.h"

namespace test {

class CommandLink : public ::testing::Test {
protected:
    sim::Instrument instrument{sim::in_process_options()};
    int id = 0;
    std::atomic<int> type{-1};

    void SetUp() override {
        ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
        instrument.set_commands(8000, 8999, sim::succeed());  // until a test scripts one
        instrument.set_command(kDrainCode, sim::succeed());
        std::string error;
        ASSERT_TRUE(instrument.start(&error)) << error;
    }
    void TearDown() override { MXX_shut(); }

    static int on_connected(int, char *, int device_type, void *user) {
        static_cast<CommandLink *>(user)->type = device_type;
        return 0;
    }
    static int on_gone(int, char *, void *) { return 0; }

    // Connects and waits for recognition: 0, or the wait's failure.
    int connect(MXX_probe_request_cb probe = MDD_probe, MXX_probe_test_cb test = MDD_test_probe) {
        char conn[COMM_CONN_STRING_SIZE];
        MXX_make_net_conn_string(conn, "127.0.0.1", instrument.port());
        EXPECT_EQ(MXX_connect(conn, &id, on_connected, on_gone, on_gone, probe, test, this), 0);
        return MXX_wait_connected(id, 10000);
    }
    // Also drains the answers to recognition probes: the instrument answers in order, so once an
    // awaited command is answered no late probe answer can land in a later command's slot.
    void connect_recognised() {
        ASSERT_EQ(connect(), 0);
        ASSERT_EQ(MXX_send_cmd(id, kDrainCode, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                               1000, 1),
                  MXX_RESULT_OK);
        instrument.clear_commands();
    }
    static constexpr uint16_t kDrainCode = 1234;

    // Answers `code` with `payload` (status and param as given), or leaves it unanswered.
    void answer(uint16_t code, std::optional<std::vector<uint8_t>> payload, uint8_t status = 0,
                uint16_t param = 0) {
        instrument.set_command(code, [=](const sim::Command &c) -> std::optional<sim::Answer> {
            if (!payload) return std::nullopt;
            sim::Answer a = sim::default_answer(c);
            a.payload = *payload;
            a.status = status;
            a.param = param;
            return a;
        });
    }

    // The frames of `code` the instrument received.
    std::vector<std::vector<uint8_t>> seen(uint16_t code) const {
        std::vector<std::vector<uint8_t>> out;
        for (auto &f : instrument.commands_seen())
            if (mxx_frame_code(f.data()) == code) out.push_back(f);
        return out;
    }
    // The payload of the only frame of `code` received.
    std::vector<uint8_t> payload_of(uint16_t code) const {
        auto frames = seen(code);
        EXPECT_EQ(frames.size(), 1u) << "frames of " << code;
        if (frames.empty()) return {};
        const auto &f = frames.front();
        return {f.begin() + MXX_HEADER_SIZE, f.end() - 1};
    }
};

template <class T>
std::vector<uint8_t> bytes_of(const T &record) {
    auto *p = reinterpret_cast<const uint8_t *>(&record);
    return {p, p + sizeof(T)};
}

// A record of distinct bytes, so that a byte moved or dropped shows.
template <class T>
std::vector<uint8_t> pattern() {
    std::vector<uint8_t> v(sizeof(T));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

}  // namespace test
