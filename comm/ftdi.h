// FTDI transport: instruments behind an FTDI USB-serial chip, driven through FTDI's D2XX library
// loaded at run time, for "USBF" (device as it is) and "USBS" (device set up as a serial line)
// links; also the device listing and EEPROM access.
#pragma once

#include "instrument_ids.h"
#include "transport.h"

extern const comm_transport_ops usbftdi_ops;

// The library tried when SURVOKART_D2XX_LIBRARY names none.
constexpr const char *FTDI_DEFAULT_LIBRARY = "libftd2xx.so";
constexpr int FTDI_EEPROM_BYTES = 128;

// Loads the library once per process: 0, or -1 when it (or one of its entry points) is missing.
int load_ftdi_dll();

int usbftdi_set_params(void *context, int conn_id, const char *serial, int baud, int databits,
                       int stopbits, int parity, int flow);
int usbftdi_init(void **context_out);
int usbftdi_free(void **context);
int usbftdi_connect(void *context);
int usbftdi_disconnect(void *context);
int usbftdi_read(void *context, char *buffer, int *size_in_out);
int usbftdi_write(void *context, const char *data, int length, int *written_out, int timeout_ms);
int usbftdi_waitget(void *context, int mask, int *subcode_out);
int usbftdi_waitset(void *context, int interest);
int usbftdi_waitfor(void **contexts, int count, int timeout_ms);

// Lists attached devices under the USB ids vid:pid (and FTDI's own ids when
// SURVOKART_FTDI_GENERIC_IDS=1) whose description and serial match the filters ("?" matches any
// character). descriptions_out gets 64-byte entries, strings_out 128-byte connection strings that
// carry each device's own ids.
int usbftdi_list_devices(char *descriptions_out, char *strings_out, int max, int *count_out,
                         const char *description_filter, const char *serial_filter, int vid,
                         int pid);

// EEPROM image access on an open device: 0, else -1 or the library's status. Read checks the
// checksum and fills as much of a short buffer (64 bytes at least) as it holds; write takes only a
// whole image of FTDI_EEPROM_BYTES and computes no checksum.
int ftdi_read_eeprom(void *context, void *image, int size);
int ftdi_write_eeprom(void *context, const void *image, int size);
