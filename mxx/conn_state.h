// The protocol state of one connection opened by MXX_connect, and the registry through which
// callers on other threads find it by connection id.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "mxx.h"
#include "reassembler.h"

constexpr int MXX_HOOK_TABLE_SIZE = 255;
constexpr int MXX_CATCH_ALL_ENTRY = MXX_HOOK_TABLE_SIZE - 1;

// Published once and never changed: a reader that sees the pointer sees a whole entry.
struct mxx_hook_entry {
    uint16_t code;
    MXX_hook hook;
};

struct MXX_conn_state {
    char reserved[128] = {};  // the record's address is the `state` argument of callbacks

    // Fixed at creation.
    void *user = nullptr;
    MXX_probe_request_cb probe_request = nullptr;
    MXX_probe_test_cb probe_test = nullptr;
    MXX_connected_cb on_connected = nullptr;
    MXX_conn_event_cb on_connect_failed = nullptr;
    MXX_conn_event_cb on_disconnected = nullptr;

    // Reader thread only.
    int conn_id = 0;
    int identified = 0;
    int probe_attempt = 0;
    int device_type = 0;
    mxx_reassembler rx;

    // Written by recognition (reader) and MXX_set_cmd_num_try (any thread).
    std::atomic<int> attempts{1};

    // Hooks: registration (any thread) appends under hook_lock and publishes each entry before
    // raising the count; dispatch (reader) reads without a lock.
    std::mutex hook_lock;
    std::atomic<int> hook_count{0};
    std::array<std::atomic<const mxx_hook_entry *>, MXX_HOOK_TABLE_SIZE> hooks{};
    std::vector<std::unique_ptr<mxx_hook_entry>> hook_storage;  // guarded by hook_lock

    // Keeps the record alive until its link ends; the reader thread drops it last.
    std::shared_ptr<MXX_conn_state> self;
};

using mxx_state_ref = std::shared_ptr<MXX_conn_state>;

void mxx_register_state(int conn_id, const mxx_state_ref &state);
// Removes `state` from the registry; a record registered later under the same id stays.
void mxx_forget_state(int conn_id, const MXX_conn_state *state);
mxx_state_ref mxx_find_state(int conn_id);

// The hook to call for a frame of `code`, or null.
MXX_hook mxx_hook_for(const MXX_conn_state &state, uint16_t code);

// Adds one 8600 reply's texts to the discovery list unless its key is already listed.
void mxx_add_discovery_reply(const uint8_t *frame, int size);
