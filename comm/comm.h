// Connection manager: a fixed table of 256 connections, one reader thread per connection that
// feeds received bytes to an event callback, writes for senders, and a rendezvous by which one
// command transaction at a time waits for up to three kinds of answer frame.
//
// Ids are positive, grow from 1 and are never reused while the manager runs; slot = id % 256.
// Every function may be called from any thread. Calls that name a stale id are refused without
// touching the table.
#pragma once

#include "conn_string.h"
#include "forward.h"

constexpr int COMM_MAX_CONN = 256;

enum comm_state { COMM_STATE_FREE = 0, COMM_STATE_OPENING = 1, COMM_STATE_CONNECTED = 2 };

// Events passed to the callback; the low byte names the event. For COMM_EVENT_DATA, bits 16-31
// carry the transport's sub-code (always 0).
enum comm_event : unsigned {
    COMM_EVENT_CONNECTED = 1,
    COMM_EVENT_CONNECT_FAILED = 2,  // no event follows
    COMM_EVENT_DISCONNECTED = 3,    // the last event of a connection that was connected
    COMM_EVENT_DATA = 5,            // data = the read buffer, length = bytes read
    COMM_EVENT_TIMEOUT = 6,         // one reader wait passed without data
};

// Runs on the connection's reader thread. A non-zero result ends the connection.
using comm_event_cb = int (*)(int conn_id, unsigned event, char *data, int length, void *user);

// Wait results of the rendezvous.
constexpr int COMM_WAIT_TIMED_OUT = -2;
constexpr int COMM_WAIT_CLOSED = -3;
constexpr int COMM_WAIT_CONNECTED_TIMEOUT = 6;  // comm_wait_connected ran out of time

int comm_init();
int comm_shut();

// Opens a connection from a connection string. 0 with the id in *conn_id_out; -1 for a malformed
// string, a kind whose transport is not available, or a full table. The link is usable once the
// callback has seen COMM_EVENT_CONNECTED.
int comm_connect(int *conn_id_out, const char *conn_string, comm_event_cb callback, int read_size,
                 int wait_timeout_ms, void *user);
int comm_connect_net(int *conn_id_out, const char *host, int port, int connect_timeout_ms,
                     comm_event_cb callback, int read_size, int wait_timeout_ms, void *user);
int comm_connect_serial(int *conn_id_out, const char *device_path, int baud, int databits,
                        int stopbits, int parity, int flow, comm_event_cb callback, int read_size,
                        int wait_timeout_ms, void *user);
int comm_connect_usbuniv(int *conn_id_out, int vid, int pid, const char *device,
                         comm_event_cb callback, int read_size, int wait_timeout_ms, void *user);
int comm_connect_ftdi(int *conn_id_out, const char *serial, comm_event_cb callback, int read_size,
                      int wait_timeout_ms, void *user);
int comm_connect_ftdi_serial(int *conn_id_out, const char *serial, int baud, int databits,
                             int stopbits, int parity, int flow, comm_event_cb callback,
                             int read_size, int wait_timeout_ms, void *user);
int comm_connect_bt(int *conn_id_out, const char *address, int channel, const char *pin,
                    int connect_timeout_ms, comm_event_cb callback, int read_size,
                    int wait_timeout_ms, void *user);

// Stops the connection and waits (at most 5 s) for its reader thread. 0, or -1 when not started.
int comm_disconnect(int conn_id);
void comm_disconnect_all();

// Writes all bytes under the connection lock. 0 when written, or when the connection is not
// connected or length is 0 (nothing written); -1 for an unknown id; a transport's negative result.
int comm_write(int conn_id, const void *data, int length, int *written_out, int timeout_ms);

// The rendezvous, used by one command transaction:
//   hook (takes the transaction lock, arms three slots) -> write -> wait (any number of times)
//   -> unhook (disarms, releases the transaction lock).
// The caller's buffers are written only by comm_wait_response, on the caller's thread.
void comm_hook_response(int conn_id, int code0, void *buf0, int cap0, int code1, void *buf1,
                        int cap1, int code2, void *buf2, int cap2);
void comm_unhook_response(int conn_id);
// Called by the frame layer on the reader thread for each complete frame: 0 when an armed slot
// awaiting `code` took it, -1 otherwise.
int comm_fill_rsp_buff(int conn_id, int code, const void *frame, int length);
// 0 when a slot received a frame (lengths set); -1 not started, unknown id or not connected;
// COMM_WAIT_TIMED_OUT; COMM_WAIT_CLOSED when the connection ended or nothing was received.
int comm_wait_response(int conn_id, int *len0_out, int *len1_out, int *len2_out, int timeout_ms);

// The identified flag: raised by the frame layer once the instrument is recognised, cleared when
// the reader ends. comm_wait_connected: 0 when raised, COMM_WAIT_CONNECTED_TIMEOUT, -3 when the
// connection ended without it, -1 when not started or unknown id.
int comm_signal_connected(int conn_id);
int comm_wait_connected(int conn_id, int timeout_ms);

// -1 when not started; 0 for id 0 or an unknown id; otherwise the comm_state.
int comm_get_state(int conn_id);

// Iteration over all 256 slots in index order: each call reports the slot at the iterator (id 0
// for a free slot) and returns 1; after the last slot it returns 0 and writes nothing.
void comm_data_cntr_init(int *iterator);
int comm_get_data(int *iterator, int *id_out, void **user_out);
