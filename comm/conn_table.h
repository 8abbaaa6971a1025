// The connection table and the per-connection record, shared by the manager's source files.
//
// Ownership: a connection record is held by shared pointers: by its table slot while the
// connection exists, by its reader thread until that thread returns, and by any caller for the
// duration of a call (or, for a command transaction, from hook to unhook). Its locks are
// destroyed with the last holder, never while a thread holds or waits on them. A slot is reused
// only when its previous record has no holder left, so a reader thread that outlived its join
// never shares a slot with a newer connection. The table itself is held the same way, so that a
// late reader never touches a table that comm_shut has released.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "comm.h"
#include "sync.h"
#include "thread.h"
#include "transport.h"

struct comm_rsp_slot_t {
    // Written under the response-table lock and the response condition's lock (hook, unhook);
    // read under either.
    void *buffer = nullptr;
    int capacity = 0;
    int code = 0;
    // Written and read under the response condition's lock.
    int received = 0;          // full length of the frame last delivered
    int pending = 0;           // 1 = armed and nothing received yet
    std::vector<char> staged;  // the delivered frame, handed to `buffer` by the waiter
};

struct comm_conn_t {
    // Fixed at allocation, before the reader starts; read by any thread without a lock.
    int id = 0;
    int index = 0;
    comm_event_cb callback = nullptr;
    void *user = nullptr;
    int read_size = 0;
    int wait_timeout_ms = 0;
    const comm_transport_ops *ops = nullptr;

    std::atomic<int> state{COMM_STATE_OPENING};  // written by the reader thread
    std::atomic<int> stop{0};                    // written by comm_disconnect

    mutex_t transaction_lock;  // one command transaction, hook to unhook
    mutex_t rsp_lock;          // the response table: taken after transaction_lock
    condvar_t rsp_cond;        // response slots filled, or the connection ended
    condvar_t ident_cond;      // the identified flag changed
    std::array<comm_rsp_slot_t, 3> rsp;
    int identified = 0;  // guarded by ident_cond.lock

    // The transport context: used freely by the reader thread; released by the reader in
    // del_connection under transport_lock, which disconnect takes too.
    std::mutex transport_lock;
    void *transport = nullptr;
    std::vector<char> read_buffer;  // reader only

    ~comm_conn_t();
};

struct comm_slot_t {
    mutex_t conn_lock;  // the connection lock: writes, response waits and deletion
    // Guards the three members below; held only for moments, never across a wait.
    std::mutex ref_lock;
    std::shared_ptr<comm_conn_t> conn;    // the open connection, or null (slot free)
    std::weak_ptr<comm_conn_t> previous;  // the last connection; the slot waits for it to let go
    thread_t reader;                      // reader thread handle until joined
};

struct comm_table_t {
    mutex_t conn_list_lock;  // slot allocation
    std::array<comm_slot_t, COMM_MAX_CONN> slots;
};

using comm_table_ref = std::shared_ptr<comm_table_t>;
using comm_conn_ref = std::shared_ptr<comm_conn_t>;

comm_table_ref comm_current_table();
comm_slot_t &comm_slot_of(comm_table_t &table, int id);
// The open connection with this id, or null.
comm_conn_ref comm_find(comm_table_t &table, int id);
// The same in the current table, which it also hands out (null when the manager is stopped).
comm_conn_ref comm_lookup(int id, comm_table_ref *table_out = nullptr);
