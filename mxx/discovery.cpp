// The list of instruments that answered the network discovery request. Written by reader
// threads and the discovery listener, read by the GUI: every access takes list_lock.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "comm/comm.h"
#include "conn_state.h"

namespace {

std::mutex list_lock;
MXX_broadcast_list_t message_list{};  // guarded by list_lock

constexpr uint16_t kRequestParam = 3000;

// Copies a field of the reply's payload; a short payload leaves the rest zero.
void copy_field(char *dst, size_t size, const uint8_t *payload, int payload_len, size_t offset) {
    std::memset(dst, 0, size);
    if (payload_len <= static_cast<int>(offset)) return;
    std::memcpy(dst, payload + offset, std::min(size, static_cast<size_t>(payload_len) - offset));
}

void take_reply(void *, uint8_t *frame, int size) {
    if (mxx_frame_code(frame) == MXX_CODE_DISCOVERY_REPLY) mxx_add_discovery_reply(frame, size);
}

}  // namespace

void mxx_add_discovery_reply(const uint8_t *frame, int size) {
    int payload_len = std::max(0, size - MXX_FRAME_OVERHEAD);
    const uint8_t *payload = mxx_frame_payload(frame);
    MXX_broadcast_entry e;
    copy_field(e.key, sizeof e.key, payload, payload_len, 0);
    copy_field(e.address, sizeof e.address, payload, payload_len, 10);
    copy_field(e.text, sizeof e.text, payload, payload_len, 26);
    std::lock_guard g(list_lock);
    for (int i = 0; i < message_list.count; ++i)
        if (std::memcmp(message_list.entries[i].key, e.key, sizeof e.key) == 0) return;
    // A full list keeps the first replies: the GUI empties it before every new request.
    if (message_list.count >= MXX_BROADCAST_LIST_MAX) return;
    message_list.entries[message_list.count++] = e;
}

void MXX_broadcast_event_proc(const void *datagram, int length) {
    if (!datagram || length <= 0) return;
    auto r = std::make_unique<mxx_reassembler>();  // each datagram is parsed from a fresh start
    mxx_reassemble(*r, static_cast<const uint8_t *>(datagram), static_cast<size_t>(length),
                   take_reply, nullptr);
}

void MXX_broadcast_list(MXX_broadcast_list_t *out) {
    if (!out) return;
    std::lock_guard g(list_lock);
    *out = message_list;
}

void MXX_net_broadcast_reset_list() {
    std::lock_guard g(list_lock);
    message_list = MXX_broadcast_list_t{};
}

int MXX_build_discovery_request(unsigned char out[MXX_FRAME_OVERHEAD]) {
    return mxx_build_frame(out, MXX_CODE_DISCOVERY_REQUEST, kRequestParam, 0, nullptr, 0);
}

int MXX_send_broadcast_net_message(const char *, int port) {
    unsigned char request[MXX_FRAME_OVERHEAD];
    MXX_build_discovery_request(request);
    return comm_net_broadcast_send(reinterpret_cast<const char *>(request), MXX_FRAME_OVERHEAD, 0,
                                   port);
}

int MXX_net_broadcast_register(MXX_datagram_cb callback, void *reserved) {
    MXX_net_broadcast_reset_list();
    return comm_net_broadcast_register(callback, reserved);
}

int MXX_net_broadcast_deregister() {
    return comm_net_broadcast_deregister();
}
