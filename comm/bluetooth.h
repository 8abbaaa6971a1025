// Bluetooth through BlueZ: the RFCOMM transport for "BLTH" links, with a PIN agent registered
// while a link opens, and the device inquiry behind comm_bt_discover (bluetooth_discover.cpp).
// Without BlueZ (no system bus, no org.bluez) or without a powered adapter every function here
// fails cleanly.
#pragma once

#include <bluetooth/bluetooth.h>

#include "bt_inquiry.h"
#include "forward.h"
#include "transport.h"

extern const comm_transport_ops bt_ms_ops;

// The device address in an address text: its twelve hex digits in order, any other characters
// (separators) skipped. 0, or -1 when the text does not hold exactly twelve hex digits.
int bt_ms_parse_address(const char *text, bdaddr_t *out);

int bt_ms_set_params(void *context, int conn_id, const char *address, int channel, const char *pin,
                     int connect_timeout_ms);
int bt_ms_init(void **context_out);
int bt_ms_free(void **context);
int bt_ms_connect(void *context);
int bt_ms_disconnect(void *context);
int bt_ms_read(void *context, char *buffer, int *size_in_out);
int bt_ms_write(void *context, const char *data, int length, int *written_out, int timeout_ms);
int bt_ms_waitget(void *context, int mask, int *subcode_out);
int bt_ms_waitset(void *context, int interest);
int bt_ms_waitfor(void **contexts, int count, int timeout_ms);

// 1 when BlueZ has a powered adapter, else 0.
int bt_ms_adapter_available();

// Makes a non-blocking stream socket and starts its connect to the device's RFCOMM channel.
// Returns the descriptor with *error_out 0 (connected) or EINPROGRESS, or -1 with the errno.
using bt_ms_connector = int (*)(const bdaddr_t *address, int channel, int *error_out);
// Replaces the connector (tests stand a socketpair or a loopback socket in for RFCOMM); null
// restores the RFCOMM one. Returns the previous one. Call while no Bluetooth link opens.
bt_ms_connector bt_ms_set_connector(bt_ms_connector connector);

// How long an inquiry listens, in ms; the default is ten inquiry units of 1.28 s. Returns the
// previous length. Call while no inquiry runs.
int bt_ms_set_inquiry_ms(int ms);
// How long one call to BlueZ may take before it gives up, in ms; 5000 by default. Returns the
// previous length. Call while nothing Bluetooth runs.
int bt_ms_set_call_timeout_ms(int ms);
