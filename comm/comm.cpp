// The connection table: start and stop, slot allocation and deletion, the reader thread,
// disconnect and iteration.
#include <climits>
#include <cstdint>
#include <utility>

#include "bluetooth.h"
#include "conn_table.h"
#include "ftdi.h"
#include "log.h"
#include "net.h"
#include "serial.h"
#include "usb.h"

namespace {

std::mutex table_guard;  // guards `table` (the pointer, not the table)
comm_table_ref table;
// The next id to try. Process-wide and never reset, not even by a restart of the manager: a
// reader thread that outlived its join must never meet a newer connection under its own id.
// Written under the current table's conn_list_lock.
std::atomic<int> last_id{1};

// The k-th id from `from`; after INT_MAX ids the count starts again at 1.
int id_after(int from, int k) {
    int64_t id = int64_t{from} + k;
    return static_cast<int>(id > INT_MAX ? id - INT_MAX : id);
}

struct reader_args {
    comm_table_ref table;
    comm_conn_ref conn;
};

// Joins the old reader threads of free slots, so that their handles do not pile up.
void reap(comm_table_t &t) {
    for (comm_slot_t &slot : t.slots) {
        thread_t old;
        {
            std::lock_guard g(slot.ref_lock);
            if ((slot.conn && slot.conn->state != COMM_STATE_FREE) ||
                !slot.reader.handle.joinable())
                continue;
            old = std::move(slot.reader);
        }
        thread_join(&old);
    }
}

bool slot_is_free(comm_slot_t &slot) {
    return !slot.conn && !slot.reader.handle.joinable() && slot.previous.expired();
}

comm_conn_ref new_connection(int id, const comm_transport_ops *ops, comm_event_cb callback,
                             int read_size, int wait_timeout_ms, void *user) {
    auto conn = std::make_shared<comm_conn_t>();
    conn->id = id;
    conn->index = id % COMM_MAX_CONN;
    conn->callback = callback;
    conn->user = user;
    conn->read_size = read_size;
    conn->wait_timeout_ms = wait_timeout_ms;
    conn->ops = ops;
    conn->read_buffer.resize(static_cast<size_t>(read_size));
    mutex_init(&conn->transaction_lock);
    mutex_init(&conn->rsp_lock);
    condvar_init(&conn->rsp_cond);
    condvar_init(&conn->ident_cond);
    if (ops->init(&conn->transport) != 0) return nullptr;
    return conn;
}

comm_conn_ref add_connection(comm_table_t &t, const comm_transport_ops *ops, comm_event_cb callback,
                             int read_size, int wait_timeout_ms, void *user) {
    if (!callback || read_size <= 0) return nullptr;
    mutex_lock(&t.conn_list_lock);
    reap(t);
    comm_conn_ref conn;
    for (int k = 0; k < COMM_MAX_CONN && !conn; ++k) {
        int id = id_after(last_id, k);
        comm_slot_t &slot = comm_slot_of(t, id);
        std::lock_guard g(slot.ref_lock);
        if (!slot_is_free(slot)) continue;
        conn = new_connection(id, ops, callback, read_size, wait_timeout_ms, user);
        if (!conn) break;
        slot.conn = conn;
        slot.previous = conn;
        last_id = id_after(id, 1);
    }
    mutex_unlock(&t.conn_list_lock);
    if (conn)
        log_write(LOG_CH_COMM, "%d:Comm new connection added(id=%d,ind=%d)\n", conn->id, conn->id,
                  conn->index);
    return conn;
}

void del_connection(comm_table_t &t, const comm_conn_ref &conn) {
    comm_slot_t &slot = t.slots[static_cast<size_t>(conn->index)];
    mutex_lock(&slot.conn_lock);
    {
        std::lock_guard g(slot.ref_lock);
        if (slot.conn == conn) slot.conn.reset();
    }
    log_write(LOG_CH_COMM, "%d:Comm connection closed(id=%d,ind=%d)\n", conn->id, conn->id,
              conn->index);
    {
        std::lock_guard g(conn->transport_lock);
        conn->ops->free(&conn->transport);
    }
    conn->read_buffer = {};
    mutex_unlock(&slot.conn_lock);
}

// Wakes every thread waiting on the connection so that it sees the end.
void release_waiters(comm_conn_t &conn) {
    condvar_lock(&conn.rsp_cond);
    for (comm_rsp_slot_t &r : conn.rsp)
        r.received = r.pending = 0;
    condvar_signal(&conn.rsp_cond);
    condvar_unlock(&conn.rsp_cond);

    condvar_lock(&conn.ident_cond);
    conn.identified = 0;
    condvar_signal(&conn.ident_cond);
    condvar_unlock(&conn.ident_cond);
}

int notify(comm_conn_t &conn, unsigned event, char *data = nullptr, int length = 0) {
    return conn.callback(conn.id, event, data, length, conn.user);
}

// One pass of the reader loop; false ends the loop.
bool reader_pass(comm_conn_t &conn) {
    const comm_transport_ops &ops = *conn.ops;
    ops.waitset(conn.transport, COMM_WAIT_READ);
    if (ops.waitfor(&conn.transport, 1, conn.wait_timeout_ms) != 0) return false;
    int subcode = 0;
    if (ops.waitget(conn.transport, COMM_WAIT_READ, &subcode)) {
        int size = conn.read_size;
        if (ops.read(conn.transport, conn.read_buffer.data(), &size) != 0) return false;
        if (size == 0) return true;
        unsigned event = static_cast<unsigned>(subcode) * 65536u + COMM_EVENT_DATA;
        return notify(conn, event, conn.read_buffer.data(), size) == 0;
    }
    if (ops.waitget(conn.transport, COMM_WAIT_TIMEOUT, nullptr)) {
        log_write(LOG_CH_COMM, "%d:Thread timeout(id=%d,ind=%d).\n", conn.id, conn.id, conn.index);
        return notify(conn, COMM_EVENT_TIMEOUT) == 0;
    }
    return !ops.waitget(conn.transport, COMM_WAIT_ERROR, nullptr);
}

void comm_thread_proc(void *argument) {
    std::unique_ptr<reader_args> args(static_cast<reader_args *>(argument));
    comm_conn_t &conn = *args->conn;
    log_write(LOG_CH_COMM, "%d:Comm thread started (id=%d,ind=%d).\n", conn.id, conn.id,
              conn.index);
    if (conn.ops->connect(conn.transport) != 0) {
        conn.state = COMM_STATE_FREE;
        notify(conn, COMM_EVENT_CONNECT_FAILED);
    } else {
        conn.state = COMM_STATE_CONNECTED;
        if (notify(conn, COMM_EVENT_CONNECTED) == 0)
            while (!conn.stop && reader_pass(conn)) {
            }
        conn.state = COMM_STATE_FREE;
        notify(conn, COMM_EVENT_DISCONNECTED);
    }
    release_waiters(conn);
    del_connection(*args->table, args->conn);
    log_write(LOG_CH_COMM, "%d:Comm thread is going to finish(id=%d,ind=%d).\n", conn.id, conn.id,
              conn.index);
}

// Starts the reader of a freshly allocated connection; on failure the slot is deleted.
int start_reader(const comm_table_ref &t, const comm_conn_ref &conn, int *conn_id_out) {
    comm_slot_t &slot = comm_slot_of(*t, conn->id);
    int r;
    {
        std::lock_guard g(slot.ref_lock);
        r = thread_create(&slot.reader, comm_thread_proc, 0, new reader_args{t, conn});
    }
    if (r != 0) {
        conn->state = COMM_STATE_FREE;
        del_connection(*t, conn);
        return -1;
    }
    if (conn_id_out) *conn_id_out = conn->id;
    return 0;
}

// Stops a connection's reader without waiting for it.
void request_stop(comm_conn_t &conn) {
    if (conn.state == COMM_STATE_FREE) return;
    conn.stop = 1;
    std::lock_guard g(conn.transport_lock);
    if (conn.transport) conn.ops->disconnect(conn.transport);
}

void join_reader(comm_slot_t &slot) {
    thread_t reader;
    {
        std::lock_guard g(slot.ref_lock);
        reader = std::move(slot.reader);
    }
    thread_join(&reader);
}

void log_refused(const char *conn_string, comm_parse_result r) {
    if (r == COMM_PARSE_UNKNOWN) log_write(LOG_CH_COMM, "Comm unknown device: %s\n", conn_string);
    if (r == COMM_PARSE_UNKNOWN || r == COMM_PARSE_BAD_HOST)
        log_write(LOG_CH_COMM, "Comm connect failed\n");
}

}  // namespace

comm_conn_t::~comm_conn_t() {
    if (transport) ops->free(&transport);
    condvar_destroy(&ident_cond);
    condvar_destroy(&rsp_cond);
    mutex_destroy(&rsp_lock);
    mutex_destroy(&transaction_lock);
}

comm_table_ref comm_current_table() {
    std::lock_guard g(table_guard);
    return table;
}

comm_slot_t &comm_slot_of(comm_table_t &t, int id) {
    return t.slots[static_cast<size_t>(id % COMM_MAX_CONN)];
}

comm_conn_ref comm_lookup(int id, comm_table_ref *table_out) {
    comm_table_ref t = comm_current_table();
    if (table_out) *table_out = t;
    return t ? comm_find(*t, id) : nullptr;
}

comm_conn_ref comm_find(comm_table_t &t, int id) {
    if (id <= 0) return nullptr;
    comm_slot_t &slot = comm_slot_of(t, id);
    std::lock_guard g(slot.ref_lock);
    return slot.conn && slot.conn->id == id ? slot.conn : nullptr;
}

int comm_init() {
    std::lock_guard g(table_guard);
    if (table) return 0;
    table = std::make_shared<comm_table_t>();
    mutex_init(&table->conn_list_lock);
    for (comm_slot_t &slot : table->slots)
        mutex_init(&slot.conn_lock);
    net_init_stack();
    return 0;
}

int comm_shut() {
    if (!comm_current_table()) return 0;
    comm_net_broadcast_deregister();  // their threads would otherwise outlive the library
    comm_usb_deregister();
    comm_disconnect_all();
    {
        std::lock_guard g(table_guard);
        table.reset();
    }
    net_shut_stack();
    return 0;
}

int comm_connect(int *conn_id_out, const char *conn_string, comm_event_cb callback, int read_size,
                 int wait_timeout_ms, void *user) {
    comm_conn_params p;
    comm_parse_result r = comm_parse_conn_string(conn_string, &p);
    if (r != COMM_PARSE_OK) {
        log_refused(conn_string ? conn_string : "", r);
        return -1;
    }
    const comm_serial_line &l = p.line;
    switch (p.kind) {
        case COMM_KIND_NETW:
            return comm_connect_net(conn_id_out, p.device, p.port, p.timeout_ms, callback,
                                    read_size, wait_timeout_ms, user);
        case COMM_KIND_USRT:
            return comm_connect_serial(conn_id_out, p.device, l.baud, l.databits, l.stopbits,
                                       l.parity, l.flow, callback, read_size, wait_timeout_ms,
                                       user);
        case COMM_KIND_USBU:
            return comm_connect_usbuniv(conn_id_out, p.vid, p.pid, p.device, callback, read_size,
                                        wait_timeout_ms, user);
        case COMM_KIND_USBF:
            return comm_connect_ftdi(conn_id_out, p.device, callback, read_size, wait_timeout_ms,
                                     user);
        case COMM_KIND_USBS:
            return comm_connect_ftdi_serial(conn_id_out, p.device, l.baud, l.databits, l.stopbits,
                                            l.parity, l.flow, callback, read_size, wait_timeout_ms,
                                            user);
        case COMM_KIND_BLTH:
            return comm_connect_bt(conn_id_out, p.device, p.channel, p.pin, p.timeout_ms, callback,
                                   read_size, wait_timeout_ms, user);
        case COMM_KIND_NONE:
            break;
    }
    return -1;
}

int comm_connect_net(int *conn_id_out, const char *host, int port, int connect_timeout_ms,
                     comm_event_cb callback, int read_size, int wait_timeout_ms, void *user) {
    comm_table_ref t = comm_current_table();
    if (!t || !host) return -1;
    comm_conn_ref conn = add_connection(*t, &net_ops, callback, read_size, wait_timeout_ms, user);
    if (!conn) return -1;
    net_set_params(conn->transport, conn->id, host, port, connect_timeout_ms);
    return start_reader(t, conn, conn_id_out);
}

int comm_connect_serial(int *conn_id_out, const char *device_path, int baud, int databits,
                        int stopbits, int parity, int flow, comm_event_cb callback, int read_size,
                        int wait_timeout_ms, void *user) {
    comm_table_ref t = comm_current_table();
    if (!t || !device_path) return -1;
    comm_conn_ref conn =
        add_connection(*t, &serial_ops, callback, read_size, wait_timeout_ms, user);
    if (!conn) return -1;
    serial_set_params(conn->transport, conn->id, device_path, baud, databits, stopbits, parity,
                      flow);
    return start_reader(t, conn, conn_id_out);
}

int comm_connect_usbuniv(int *conn_id_out, int vid, int pid, const char *device,
                         comm_event_cb callback, int read_size, int wait_timeout_ms, void *user) {
    comm_table_ref t = comm_current_table();
    if (!t || !device) return -1;
    comm_conn_ref conn =
        add_connection(*t, &usbuniv_ops, callback, read_size, wait_timeout_ms, user);
    if (!conn) return -1;
    usbuniv_set_params(conn->transport, conn->id, vid, pid, device);
    return start_reader(t, conn, conn_id_out);
}

// "USBF" is "USBS" with a baud rate of 0: the device keeps its own settings.
int comm_connect_ftdi(int *conn_id_out, const char *serial, comm_event_cb callback, int read_size,
                      int wait_timeout_ms, void *user) {
    return comm_connect_ftdi_serial(conn_id_out, serial, 0, 0, 0, 0, 0, callback, read_size,
                                    wait_timeout_ms, user);
}

int comm_connect_ftdi_serial(int *conn_id_out, const char *serial, int baud, int databits,
                             int stopbits, int parity, int flow, comm_event_cb callback,
                             int read_size, int wait_timeout_ms, void *user) {
    comm_table_ref t = comm_current_table();
    if (!t || !serial) return -1;
    comm_conn_ref conn =
        add_connection(*t, &usbftdi_ops, callback, read_size, wait_timeout_ms, user);
    if (!conn) return -1;
    usbftdi_set_params(conn->transport, conn->id, serial, baud, databits, stopbits, parity, flow);
    return start_reader(t, conn, conn_id_out);
}

// A malformed device address is refused here, before a connection or any socket exists.
int comm_connect_bt(int *conn_id_out, const char *address, int channel, const char *pin,
                    int connect_timeout_ms, comm_event_cb callback, int read_size,
                    int wait_timeout_ms, void *user) {
    comm_table_ref t = comm_current_table();
    if (!t || !address) return -1;
    bdaddr_t parsed;
    if (bt_ms_parse_address(address, &parsed) != 0) {
        log_error("NetBT socket connection error '%s': %s\n", address,
                  "not a Bluetooth device address");
        return -1;
    }
    comm_conn_ref conn = add_connection(*t, &bt_ms_ops, callback, read_size, wait_timeout_ms, user);
    if (!conn) return -1;
    bt_ms_set_params(conn->transport, conn->id, address, channel, pin, connect_timeout_ms);
    return start_reader(t, conn, conn_id_out);
}

int comm_disconnect(int conn_id) {
    comm_table_ref t;
    comm_conn_ref conn = comm_lookup(conn_id, &t);
    if (!t) return -1;
    if (!conn) return 0;
    request_stop(*conn);
    join_reader(comm_slot_of(*t, conn_id));
    return 0;
}

void comm_disconnect_all() {
    comm_table_ref t = comm_current_table();
    if (!t) return;
    // Stop every reader first, then join them: they wind down side by side.
    for (int i = 0; i < COMM_MAX_CONN; ++i) {
        comm_conn_ref conn;
        {
            std::lock_guard g(t->slots[i].ref_lock);
            conn = t->slots[i].conn;
        }
        if (conn) request_stop(*conn);
    }
    for (comm_slot_t &slot : t->slots)
        join_reader(slot);
}

int comm_write(int conn_id, const void *data, int length, int *written_out, int timeout_ms) {
    if (written_out) *written_out = 0;
    comm_table_ref t;
    comm_conn_ref conn = comm_lookup(conn_id, &t);
    if (!conn) return -1;
    comm_slot_t &slot = comm_slot_of(*t, conn_id);
    mutex_lock(&slot.conn_lock);
    const char *bytes = static_cast<const char *>(data);
    int result = 0;
    while (conn->state == COMM_STATE_CONNECTED && length > 0) {
        int written = 0;
        result = conn->ops->write(conn->transport, bytes, length, &written, timeout_ms);
        if (result < 0) break;
        // A transport that takes nothing without an error would keep this loop spinning under
        // the connection lock; the contract says it returns -1 when the medium stays blocked.
        if (written <= 0 || written > length) {
            log_error("%d:Transport %s wrote %d of %d bytes without an error!\n", conn_id,
                      conn->ops->name, written, length);
            result = -1;
            break;
        }
        bytes += written;
        length -= written;
        if (written_out) *written_out += written;
    }
    mutex_unlock(&slot.conn_lock);
    return result < 0 ? result : 0;
}

int comm_list_devices_ftdi(char *descriptions_out, char *strings_out, int max, int *count_out,
                           const char *description_filter, const char *serial_filter, int vid,
                           int pid) {
    if (count_out) *count_out = 0;
    if (!comm_current_table()) return -1;
    return usbftdi_list_devices(descriptions_out, strings_out, max, count_out, description_filter,
                                serial_filter, vid, pid);
}

namespace {

// Runs an EEPROM access on a connected FTDI link under its connection lock, so that it never
// overlaps a write or the link's deletion.
template <typename F>
int with_ftdi_device(int conn_id, F access) {
    comm_table_ref t;
    comm_conn_ref conn = comm_lookup(conn_id, &t);
    if (!conn || conn->ops != &usbftdi_ops) {
        log_error("%d:Not an open FTDI connection!\n", conn_id);
        return -1;
    }
    comm_slot_t &slot = comm_slot_of(*t, conn_id);
    mutex_lock(&slot.conn_lock);
    int result = conn->state == COMM_STATE_CONNECTED ? access(conn->transport) : -1;
    mutex_unlock(&slot.conn_lock);
    return result;
}

}  // namespace

int comm_ftdi_read_eeprom(int conn_id, void *image, int size) {
    return with_ftdi_device(conn_id,
                            [&](void *context) { return ftdi_read_eeprom(context, image, size); });
}

int comm_ftdi_write_eeprom(int conn_id, const void *image, int size) {
    return with_ftdi_device(conn_id,
                            [&](void *context) { return ftdi_write_eeprom(context, image, size); });
}

int comm_get_state(int conn_id) {
    comm_table_ref t;
    comm_conn_ref conn = comm_lookup(conn_id, &t);
    if (!t) return -1;
    return conn ? conn->state.load() : 0;
}

void comm_data_cntr_init(int *iterator) {
    if (iterator) *iterator = 0;
}

int comm_get_data(int *iterator, int *id_out, void **user_out) {
    comm_table_ref t = comm_current_table();
    if (!t || !iterator || *iterator < 0 || *iterator >= COMM_MAX_CONN) return 0;
    comm_slot_t &slot = t->slots[static_cast<size_t>(*iterator)];
    comm_conn_ref conn;
    {
        std::lock_guard g(slot.ref_lock);
        conn = slot.conn;
    }
    if (id_out) *id_out = conn ? conn->id : 0;
    if (user_out) *user_out = conn ? conn->user : nullptr;
    ++*iterator;
    return 1;
}
