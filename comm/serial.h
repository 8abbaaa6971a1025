// Serial transport: a serial port, or any device path that behaves like one (a USB serial
// adapter, a pseudo-terminal), for "USRT" links.
#pragma once

#include <termios.h>

#include <string>

#include "conn_string.h"
#include "transport.h"

extern const comm_transport_ops serial_ops;

constexpr int SERIAL_BYTE_GAP_MS = 10;         // a read ends when the line is quiet this long
constexpr int SERIAL_WRITE_TIMEOUT_MS = 2500;  // the longest a write waits for the driver

// Makes `t`, which holds the port's current settings, a raw binary line with the settings of a
// connection string; a parity outside 0-2 leaves the parity as it was. 0, or -1 with the reason
// when a setting cannot be had (a baud rate that is not a standard one, data bits outside 5-8,
// stop bits outside 0-2); `t` is then unchanged.
int serial_make_termios(const comm_serial_line &line, termios *t, std::string *reason);

int serial_set_params(void *context, int conn_id, const char *path, int baud, int databits,
                      int stopbits, int parity, int flow);
int serial_init(void **context_out);
int serial_free(void **context);
int serial_connect(void *context);
int serial_disconnect(void *context);
int serial_read(void *context, char *buffer, int *size_in_out);
int serial_write(void *context, const char *data, int length, int *written_out, int timeout_ms);
int serial_waitget(void *context, int mask, int *subcode_out);
int serial_waitset(void *context, int interest);
int serial_waitfor(void **contexts, int count, int timeout_ms);
