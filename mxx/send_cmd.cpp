// Command transactions: build -> write -> wait -> examine -> retry.
#include <algorithm>
#include <cstring>
#include <vector>

#include "comm/comm.h"
#include "conn_state.h"
#include "transaction.h"

namespace {

// Per-thread buffers: a transaction allocates nothing, and a thread runs one at a time.
struct transaction_buffers {
    std::vector<uint8_t> frame;
    std::vector<uint8_t> slots[3];  // allocated by the first awaited command

    void arm_slots() {
        if (!slots[0].empty()) return;
        slots[0].resize(MXX_RESPONSE_SLOT_SIZE);
        slots[1].resize(MXX_CONTROL_SLOT_SIZE);
        slots[2].resize(MXX_CONTROL_SLOT_SIZE);
    }
};

transaction_buffers &buffers() {
    thread_local transaction_buffers b;
    return b;
}

// Result 0 also means "never usably answered", and the command wrappers do not pass every
// output through, so each thread keeps what its last transaction really got back.
thread_local MXX_cmd_outcome t_last_outcome;

int write_frame(int conn_id, const std::vector<uint8_t> &frame, int timeout_ms) {
    int written = 0;
    return comm_write(conn_id, frame.data(), static_cast<int>(frame.size()), &written, timeout_ms);
}

struct outputs {
    void *rsp_buf;
    int rsp_buf_size;
    int *rsp_len_out;
    int *rsp_param_out;
    int *rsp_status_out;
};

void report(const mxx_answer &a, const outputs &out) {
    if (out.rsp_param_out) *out.rsp_param_out = mxx_frame_param(a.frame);
    if (out.rsp_status_out) *out.rsp_status_out = mxx_frame_status(a.frame);
    if (a.verdict != mxx_verdict::retry) t_last_outcome.answered = true;
    if (a.verdict != mxx_verdict::success) return;
    // The payload is copied only when it is there and fits; the slot never gives more than
    // it holds.
    int stored = std::min(a.length, MXX_RESPONSE_SLOT_SIZE);
    int n = a.length - MXX_FRAME_OVERHEAD;
    if (!out.rsp_buf || n < 1 || n > out.rsp_buf_size || MXX_HEADER_SIZE + n > stored) return;
    std::memcpy(out.rsp_buf, a.frame + MXX_HEADER_SIZE, static_cast<size_t>(n));
    t_last_outcome.copied = n;
    if (out.rsp_len_out) *out.rsp_len_out = n;
}

int await_answer(int conn_id, int attempts, int timeout_ms, const std::vector<uint8_t> &frame,
                 transaction_buffers &b, const outputs &out) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        int r = write_frame(conn_id, frame, timeout_ms);
        if (r < 0) return r;
        int lengths[3] = {0, 0, 0};
        if (comm_wait_response(conn_id, &lengths[0], &lengths[1], &lengths[2], timeout_ms) != 0)
            continue;
        const uint8_t *frames[3] = {b.slots[0].data(), b.slots[1].data(), b.slots[2].data()};
        mxx_answer a = mxx_examine(frames, lengths);
        if (a.verdict == mxx_verdict::none) continue;
        report(a, out);
        if (a.verdict == mxx_verdict::retry) continue;
        return a.verdict == mxx_verdict::success ? MXX_RESULT_OK : MXX_RESULT_FAILED;
    }
    return MXX_RESULT_OK;
}

}  // namespace

mxx_answer mxx_examine(const uint8_t *const frames[3], const int lengths[3]) {
    for (int slot = 0; slot < 3; ++slot) {
        if (lengths[slot] < MXX_HEADER_SIZE) continue;
        const uint8_t *f = frames[slot];
        bool ok = mxx_frame_status(f) == 0;
        mxx_verdict v = slot == 0   ? (ok ? mxx_verdict::success : mxx_verdict::failure)
                        : slot == 1 ? mxx_verdict::failure
                                    : (ok ? mxx_verdict::retry : mxx_verdict::failure);
        return {v, f, lengths[slot]};
    }
    return {};
}

MXX_cmd_outcome MXX_last_cmd_outcome() {
    return t_last_outcome;
}

int MXX_send_cmd(int conn_id, unsigned cmd_code, int param, const void *payload,
                 unsigned payload_len, void *rsp_buf, int rsp_buf_size, int *rsp_len_out,
                 int *rsp_param_out, int *rsp_status_out, int timeout_ms, int wait_response) {
    t_last_outcome = {};
    if (payload_len > MXX_MAX_PAYLOAD || (payload_len && !payload)) return -1;
    int attempts = MXX_get_cmd_num_try(conn_id);
    transaction_buffers &b = buffers();
    auto code = static_cast<uint16_t>(cmd_code);
    b.frame.resize(payload_len + MXX_FRAME_OVERHEAD);
    mxx_build_frame(b.frame.data(), code, static_cast<uint16_t>(param ? param : timeout_ms), 0,
                    payload, static_cast<uint16_t>(payload_len));

    if (!wait_response) return attempts >= 1 ? write_frame(conn_id, b.frame, timeout_ms) : 0;

    b.arm_slots();
    comm_hook_response(conn_id, static_cast<uint16_t>(code + MXX_RESPONSE_OFFSET),
                       b.slots[0].data(), MXX_RESPONSE_SLOT_SIZE, MXX_CODE_REFUSAL,
                       b.slots[1].data(), MXX_CONTROL_SLOT_SIZE, MXX_CODE_RETRY, b.slots[2].data(),
                       MXX_CONTROL_SLOT_SIZE);
    outputs out{rsp_buf, rsp_buf_size, rsp_len_out, rsp_param_out, rsp_status_out};
    int result = attempts >= 1 ? await_answer(conn_id, attempts, timeout_ms, b.frame, b, out) : 0;
    comm_unhook_response(conn_id);
    return result;
}
