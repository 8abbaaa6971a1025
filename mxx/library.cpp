// Library start and stop, opening connections, builders with the library's defaults, and the
// forwards to device listing and Bluetooth discovery.
#include <algorithm>
#include <cstring>

#include "comm/comm.h"
#include "comm/instrument_ids.h"
#include "comm/log.h"
#include "conn_state.h"

namespace {

constexpr int kReadSize = 4096;
constexpr int kReaderWaitMs = 200;
constexpr int kSerialBaud = 115200;
constexpr int kBtClassFilter = 0xffe050;
constexpr int kBtTimeoutMs = 60000;
constexpr int kNetTimeoutMs = 1000;

}  // namespace

int MXX_init(MXX_idle_wait_cb, MXX_usb_changed_cb usb_changed, void *user) {
    if (comm_init() != 0) return -1;
    // A machine without USB support still reaches instruments over the other links, so a
    // missing arrival watch is logged rather than failing the whole library.
    if (comm_usb_register(usb_changed, user) != 0)
        log_write(LOG_CH_COMM, "USB arrival watch not available\n");
    return 0;
}

int MXX_shut() {
    comm_usb_deregister();
    comm_shut();
    return 0;
}

int MXX_connect(const char *conn_string, int *conn_id_out, MXX_connected_cb on_connected,
                MXX_conn_event_cb on_connect_failed, MXX_conn_event_cb on_disconnected,
                MXX_probe_request_cb probe_request, MXX_probe_test_cb probe_test, void *user) {
    if (!conn_string || !conn_string[0]) return -1;
    auto state = std::make_shared<MXX_conn_state>();
    state->user = user;
    state->on_connected = on_connected;
    state->on_connect_failed = on_connect_failed;
    state->on_disconnected = on_disconnected;
    state->probe_request = probe_request;
    state->probe_test = probe_test;
    state->self = state;
    if (comm_connect(conn_id_out, conn_string, MXX_event_proc, kReadSize, kReaderWaitMs,
                     state.get()) != 0) {
        state->self.reset();
        return -1;
    }
    return 0;
}

int MXX_disconnect(int conn_id) {
    return comm_disconnect(conn_id);
}
int MXX_wait_connected(int conn_id, int timeout_ms) {
    return comm_wait_connected(conn_id, timeout_ms);
}

static_assert(int(MXX_CONN_NONE) == int(COMM_STATE_FREE) &&
              int(MXX_CONN_OPENING) == int(COMM_STATE_OPENING) &&
              int(MXX_CONN_CONNECTED) == int(COMM_STATE_CONNECTED));

int MXX_get_conn_state_id(int conn_id) {
    return comm_get_state(conn_id);
}

int MXX_make_usb_conn_string(char *buf, const char *kind, const char *device) {
    if (!kind) return -1;
    if (std::strcmp(kind, "USBU") == 0)
        return comm_make_conn_string_usb(buf, kind, device, USBUNIV_VENDOR, USBUNIV_PRODUCT_FIRST);
    if (std::strcmp(kind, "USBF") == 0 || std::strcmp(kind, "USBS") == 0)
        return comm_make_conn_string_usb(buf, kind, device, FTDI_INSTRUMENT_VENDOR,
                                         FTDI_INSTRUMENT_PRODUCT);
    return -1;
}

int MXX_make_serial_conn_string(char *buf, int port) {
    return comm_make_conn_string_serial(buf, static_cast<unsigned>(port), kSerialBaud, 8, 1, 0, 0);
}

int MXX_make_serial_path_conn_string(char *buf, const char *path) {
    return comm_make_conn_string_serial_path(buf, path, kSerialBaud, 8, 1, 0, 0);
}

int MXX_make_bt_conn_string(char *buf, const char *address, const char *name) {
    return comm_make_conn_string_bt(buf, address, name, kBtClassFilter, BT_INSTRUMENT_CHANNEL,
                                    BT_INSTRUMENT_PIN, kBtTimeoutMs);
}

int MXX_make_net_conn_string(char *buf, const char *host, int port) {
    return comm_make_conn_string_net(buf, host, static_cast<unsigned>(port), kNetTimeoutMs);
}

int MXX_list_usb_devices(char *out, int max, int *count_out) {
    int usb = 0, ftdi = 0;
    if (count_out) *count_out = 0;
    int result = comm_list_devices_usb(0, out, max, &usb, nullptr, nullptr, USBUNIV_VENDOR,
                                       USBUNIV_VENDOR, USBUNIV_PRODUCT_FIRST, USBUNIV_PRODUCT_LAST);
    if (usb < 0 || usb > max) usb = 0;
    if (out && usb < max &&
        comm_list_devices_ftdi(nullptr, out + usb * COMM_CONN_STRING_SIZE, max - usb, &ftdi,
                               nullptr, nullptr, FTDI_INSTRUMENT_VENDOR,
                               FTDI_INSTRUMENT_PRODUCT) != 0)
        ftdi = 0;
    if (count_out) *count_out = usb + std::max(0, std::min(ftdi, max - usb));
    return result;
}

int MXX_bt_is_available() {
    return comm_bt_is_available();
}
int MXX_comm_bt_discover(comm_bt_result_cb callback, void *user) {
    return comm_bt_discover(callback, kBtClassFilter, user);
}
int MXX_comm_bt_discover_cancel() {
    return comm_bt_discover_cancel();
}
int MXX_comm_bt_discover_wait(char *out, int *count_out) {
    return comm_bt_discover_wait(out, count_out);
}
