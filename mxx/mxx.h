// The MXX library: start and stop, connections to instruments, command transactions, event
// hooks, connection-string builders with the library's defaults, device listing and network
// discovery.
#pragma once

#include "comm/forward.h"
#include "frame.h"

// Callbacks of a connection; all run on the connection's reader thread. `state` is the
// connection's protocol state record, valid during the call.
using MXX_probe_request_cb = int (*)(int conn_id, int attempt);
using MXX_probe_test_cb = int (*)(int conn_id, MXX_frame *frame, int *device_type_out, int attempt);
using MXX_connected_cb = int (*)(int conn_id, char *state, int device_type, void *user);
using MXX_conn_event_cb = int (*)(int conn_id, char *state, void *user);
// Called for frames of the code it was registered for; the frame is valid only during the call.
using MXX_hook = int (*)(int conn_id, char *state, MXX_frame *frame, void *user);

// Kept in MXX_init's signature for its callers; the library never waits idly, so it is unused.
using MXX_idle_wait_cb = int (*)(void *context, unsigned code, int value1, int value2);
using MXX_usb_changed_cb = void (*)(void *user);
using MXX_datagram_cb = void (*)(const void *datagram, int length, void *user);

// Result codes of MXX_send_cmd besides negative write errors.
constexpr int MXX_RESULT_OK = 0;      // sent, answered with status 0, or never usably answered
constexpr int MXX_RESULT_FAILED = 1;  // non-zero status, refusal, or retry with non-zero status

int MXX_init(MXX_idle_wait_cb idle_wait, MXX_usb_changed_cb usb_changed, void *user);
int MXX_shut();

int MXX_connect(const char *conn_string, int *conn_id_out, MXX_connected_cb on_connected,
                MXX_conn_event_cb on_connect_failed, MXX_conn_event_cb on_disconnected,
                MXX_probe_request_cb probe_request, MXX_probe_test_cb probe_test, void *user);
int MXX_disconnect(int conn_id);
// 0 once the instrument is recognised; 6 on time-out; -3 when the link ended unrecognised;
// -1 for an unknown connection.
int MXX_wait_connected(int conn_id, int timeout_ms);
// What MXX_get_conn_state_id says of a connection.
enum MXX_conn_state_id {
    MXX_CONN_NOT_STARTED = -1,  // the library is not running
    MXX_CONN_NONE = 0,          // no such connection, or it has ended
    MXX_CONN_OPENING = 1,
    MXX_CONN_CONNECTED = 2,
};
int MXX_get_conn_state_id(int conn_id);

// Sends one command; waits for its answer when wait_response is non-zero, retrying as often as
// the connection's attempt count allows. Outputs are written only when an answer was used.
int MXX_send_cmd(int conn_id, unsigned cmd_code, int param, const void *payload,
                 unsigned payload_len, void *rsp_buf, int rsp_buf_size, int *rsp_len_out,
                 int *rsp_param_out, int *rsp_status_out, int timeout_ms, int wait_response);
// What the calling thread's last MXX_send_cmd got back. `answered`: an answer frame decided it
// (a response, a refusal or a failing retry; not silence and not a last "send it again").
// `copied`: the payload bytes copied to rsp_buf, -1 when none were.
struct MXX_cmd_outcome {
    bool answered = false;
    int copied = -1;
};
MXX_cmd_outcome MXX_last_cmd_outcome();
int MXX_set_cmd_num_try(int conn_id, int tries);
int MXX_get_cmd_num_try(int conn_id);  // 1 when the connection has no protocol state

// Registers a hook for frames of `code` (MXX_CODE_ANY: the catch-all for codes nobody hooked).
// 0, or -1 when the connection's table is full.
int MXX_hook_async_event(int conn_id, int code, MXX_hook hook);

// The connection event callback every connection opened by MXX_connect runs on.
int MXX_event_proc(int conn_id, unsigned event, char *data, int length, void *state);

int MXX_make_usb_conn_string(char *buf, const char *kind, const char *device);
int MXX_make_serial_conn_string(char *buf, int port);
int MXX_make_serial_path_conn_string(char *buf, const char *path);
int MXX_make_bt_conn_string(char *buf, const char *address, const char *name);
int MXX_make_net_conn_string(char *buf, const char *host, int port);

int MXX_list_usb_devices(char *out, int max, int *count_out);

int MXX_bt_is_available();
int MXX_comm_bt_discover(comm_bt_result_cb callback, void *user);
int MXX_comm_bt_discover_cancel();
int MXX_comm_bt_discover_wait(char *out, int *count_out);

// Network discovery: replies to the broadcast request are kept in a list of 20.
constexpr int MXX_BROADCAST_LIST_MAX = 20;

#pragma pack(push, 1)
struct MXX_broadcast_entry {
    char key[10];
    char address[16];
    char text[40];
};
struct MXX_broadcast_list_t {
    int count;
    MXX_broadcast_entry entries[MXX_BROADCAST_LIST_MAX];
};
#pragma pack(pop)
static_assert(sizeof(MXX_broadcast_entry) == 66 && sizeof(MXX_broadcast_list_t) == 1324);

int MXX_net_broadcast_register(MXX_datagram_cb callback, void *reserved);
int MXX_net_broadcast_deregister();
void MXX_net_broadcast_reset_list();
int MXX_send_broadcast_net_message(const char *reserved, int port);
// Parses one datagram; an 8600 frame in it is added to the list unless its key is listed.
void MXX_broadcast_event_proc(const void *datagram, int length);
void MXX_broadcast_list(MXX_broadcast_list_t *out);
// Builds the 13-byte discovery request into `out`.
int MXX_build_discovery_request(unsigned char out[MXX_FRAME_OVERHEAD]);
