// The response rendezvous of command transactions and the identified flag.
#include <algorithm>
#include <cstring>

#include "conn_table.h"

namespace {

// The connections on which this thread holds a transaction (hooked and not yet unhooked). Keeping
// the record here lets unhook release the transaction lock even after the connection has ended,
// and keeps the lock alive until then.
thread_local std::vector<comm_conn_ref> held_transactions;

// Both locks guard the slot layout (buffer, capacity, code); rearming needs only the condition.
void arm(comm_conn_t &conn, const int codes[3], void *const buffers[3], const int capacities[3]) {
    mutex_lock(&conn.rsp_lock);
    condvar_lock(&conn.rsp_cond);
    for (size_t i = 0; i < conn.rsp.size(); ++i) {
        comm_rsp_slot_t &r = conn.rsp[i];
        r.code = codes[i];
        r.buffer = buffers[i];
        r.capacity = r.buffer ? std::max(capacities[i], 0) : 0;
        r.received = 0;
        r.pending = r.buffer ? 1 : 0;
        // Grown, never shrunk: each transaction would otherwise clear 64 KB anew.
        if (r.staged.size() < static_cast<size_t>(r.capacity))
            r.staged.resize(static_cast<size_t>(r.capacity));
    }
    condvar_unlock(&conn.rsp_cond);
    mutex_unlock(&conn.rsp_lock);
}

// A wait is worth starting while every armed slot still waits for its frame.
bool all_armed_pending(const comm_conn_t &conn) {
    bool any = false;
    for (const comm_rsp_slot_t &r : conn.rsp) {
        if (!r.buffer) continue;
        if (!r.pending) return false;
        any = true;
    }
    return any;
}

// Hands the delivered frames to the caller's buffers and rearms. Under the condition's lock.
bool take_received(comm_conn_t &conn, int lengths[3]) {
    bool any = false;
    for (size_t i = 0; i < conn.rsp.size(); ++i) {
        comm_rsp_slot_t &r = conn.rsp[i];
        if (r.received > 0 && r.buffer) {
            std::memcpy(r.buffer, r.staged.data(),
                        static_cast<size_t>(std::min(r.received, r.capacity)));
            lengths[i] = r.received;
            any = true;
        }
        r.received = 0;
        r.pending = r.buffer ? 1 : 0;
    }
    return any;
}

}  // namespace

void comm_hook_response(int conn_id, int code0, void *buf0, int cap0, int code1, void *buf1,
                        int cap1, int code2, void *buf2, int cap2) {
    comm_conn_ref conn = comm_lookup(conn_id);
    if (!conn || conn->state != COMM_STATE_CONNECTED) return;
    mutex_lock(&conn->transaction_lock);
    held_transactions.push_back(conn);
    const int codes[3] = {code0, code1, code2};
    void *const buffers[3] = {buf0, buf1, buf2};
    const int capacities[3] = {cap0, cap1, cap2};
    arm(*conn, codes, buffers, capacities);
}

void comm_unhook_response(int conn_id) {
    auto it = std::find_if(held_transactions.rbegin(), held_transactions.rend(),
                           [conn_id](const comm_conn_ref &c) { return c->id == conn_id; });
    if (it == held_transactions.rend()) return;
    comm_conn_ref conn = *it;
    held_transactions.erase(std::next(it).base());
    const int codes[3] = {0, 0, 0};
    void *const buffers[3] = {nullptr, nullptr, nullptr};
    const int capacities[3] = {0, 0, 0};
    arm(*conn, codes, buffers, capacities);
    mutex_unlock(&conn->transaction_lock);
}

int comm_fill_rsp_buff(int conn_id, int code, const void *frame, int length) {
    comm_conn_ref conn = comm_lookup(conn_id);
    if (!conn || (!frame && length > 0) || length < 0) return -1;
    int result = -1;
    mutex_lock(&conn->rsp_lock);
    for (comm_rsp_slot_t &r : conn->rsp) {
        if (!r.buffer || r.capacity == 0 || r.code != code) continue;
        condvar_lock(&conn->rsp_cond);
        std::memcpy(r.staged.data(), frame, static_cast<size_t>(std::min(length, r.capacity)));
        r.received = length;
        r.pending = 0;
        condvar_signal(&conn->rsp_cond);
        condvar_unlock(&conn->rsp_cond);
        result = 0;
        break;
    }
    mutex_unlock(&conn->rsp_lock);
    return result;
}

int comm_wait_response(int conn_id, int *len0_out, int *len1_out, int *len2_out, int timeout_ms) {
    int *lengths[3] = {len0_out, len1_out, len2_out};
    for (int *l : lengths)
        if (l) *l = 0;
    comm_table_ref t;
    comm_conn_ref conn = comm_lookup(conn_id, &t);
    if (!conn) return -1;
    comm_slot_t &slot = comm_slot_of(*t, conn_id);
    mutex_lock(&slot.conn_lock);
    if (conn->state != COMM_STATE_CONNECTED) {
        mutex_unlock(&slot.conn_lock);
        return -1;
    }
    condvar_lock(&conn->rsp_cond);
    bool timed_out = false;
    if (all_armed_pending(*conn)) timed_out = condvar_timedwait(&conn->rsp_cond, timeout_ms) == 1;
    int received[3] = {0, 0, 0};
    bool any = take_received(*conn, received);
    condvar_unlock(&conn->rsp_cond);
    mutex_unlock(&slot.conn_lock);

    // An answer that came after the time ran out but before the lock was ours again is still the
    // answer: dropping it would make the caller send the command a second time.
    if (any) {
        for (int i = 0; i < 3; ++i)
            if (lengths[i]) *lengths[i] = received[i];
        return 0;
    }
    if (conn->state == COMM_STATE_FREE) return COMM_WAIT_CLOSED;
    return timed_out ? COMM_WAIT_TIMED_OUT : COMM_WAIT_CLOSED;
}

int comm_signal_connected(int conn_id) {
    comm_conn_ref conn = comm_lookup(conn_id);
    if (!conn) return -1;
    condvar_lock(&conn->ident_cond);
    conn->identified = 1;
    condvar_signal(&conn->ident_cond);
    condvar_unlock(&conn->ident_cond);
    return 0;
}

int comm_wait_connected(int conn_id, int timeout_ms) {
    comm_conn_ref conn = comm_lookup(conn_id);
    if (!conn) return -1;
    condvar_lock(&conn->ident_cond);
    // A reader that has already ended will not signal again: do not wait for it.
    bool timed_out = false;
    if (!conn->identified && conn->state != COMM_STATE_FREE)
        timed_out = condvar_timedwait(&conn->ident_cond, timeout_ms) == 1;
    int identified = conn->identified;
    condvar_unlock(&conn->ident_cond);
    if (identified) return 0;
    return timed_out ? COMM_WAIT_CONNECTED_TIMEOUT : COMM_WAIT_CLOSED;
}
