// The receiving side of a connection: reassembly, recognition, hooks and answers.
#include <cstring>

#include "comm/comm.h"
#include "conn_state.h"

namespace {

char *as_text(MXX_conn_state &s) {
    return s.reserved;
}

void dispatch(void *context, uint8_t *frame, int size) {
    auto &s = *static_cast<MXX_conn_state *>(context);
    uint16_t code = mxx_frame_code(frame);
    if (code == MXX_CODE_DISCOVERY_REPLY) {
        mxx_add_discovery_reply(frame, size);
        return;
    }
    auto *f = reinterpret_cast<MXX_frame *>(frame);
    if (!s.identified && s.probe_test) {
        int type = 0;
        if (s.probe_test(s.conn_id, f, &type, s.probe_attempt)) {
            s.identified = 1;
            s.device_type = type;
            if (s.on_connected) s.on_connected(s.conn_id, as_text(s), type, s.user);
            comm_signal_connected(s.conn_id);
        }
    }
    if (MXX_hook hook = mxx_hook_for(s, code)) hook(s.conn_id, as_text(s), f, s.user);
    comm_fill_rsp_buff(s.conn_id, code, frame, size);
}

// The link has ended: the record goes with the last holder.
void release(MXX_conn_state &s, int conn_id) {
    mxx_state_ref keep = std::move(s.self);
    mxx_forget_state(conn_id, &s);
}

int on_tick(MXX_conn_state &s, int conn_id) {
    if (s.identified) {
        s.rx.reset();  // a frame broken by a pause is dropped
        return 0;
    }
    // No instrument answered the whole probe cycle: end the link. Waiters are released by the
    // ending, unrecognised, so nobody mistakes this for a connected instrument.
    if (s.probe_attempt > 5) return -1;
    if (s.probe_request && s.probe_request(conn_id, s.probe_attempt) != 0) return -1;
    ++s.probe_attempt;
    return 0;
}

}  // namespace

int MXX_event_proc(int conn_id, unsigned event, char *data, int length, void *state) {
    auto &s = *static_cast<MXX_conn_state *>(state);
    switch (event & 0xff) {
        case COMM_EVENT_CONNECTED:
            s.conn_id = conn_id;
            mxx_register_state(conn_id, s.self);
            if (s.probe_request && s.probe_request(conn_id, s.probe_attempt) != 0) return -1;
            return 0;
        case COMM_EVENT_CONNECT_FAILED:
            if (s.on_connect_failed) s.on_connect_failed(conn_id, as_text(s), s.user);
            release(s, conn_id);
            return 0;
        case COMM_EVENT_DISCONNECTED:
            if (s.on_disconnected) s.on_disconnected(conn_id, as_text(s), s.user);
            release(s, conn_id);
            return 0;
        case COMM_EVENT_DATA:
            if (data && length > 0)
                mxx_reassemble(s.rx, reinterpret_cast<const uint8_t *>(data),
                               static_cast<size_t>(length), dispatch, &s);
            return 0;
        case COMM_EVENT_TIMEOUT:
            return on_tick(s, conn_id);
        default:
            return 0;
    }
}
