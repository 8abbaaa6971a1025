// USB transport for instruments that enumerate as plain USB devices ("USBU" links): the bulk pipes
// of interface 0 driven through libusb; also the listing of such devices.
#pragma once

#include "instrument_ids.h"
#include "transport.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;
struct timeval;

extern const comm_transport_ops usbuniv_ops;

constexpr int USBUNIV_READ_BLOCK = 16384;       // one IN transfer, kept in flight while connected
constexpr int USBUNIV_WRITE_TIMEOUT_MS = 2500;  // a write the caller gave no limit
constexpr int USBUNIV_LIST_MAX = 512;           // devices looked at per listing
constexpr int USBUNIV_SERIAL_MAX = 63;          // characters of a serial kept
// Named in the message for a device this user may not open.
constexpr const char *USBUNIV_UDEV_RULE = "70-survokart-usb.rules";

// An opened device: interface 0 claimed, its bulk endpoints found.
struct usbuniv_device {
    libusb_device_handle *handle = nullptr;
    unsigned char in_endpoint = 0;
    unsigned char out_endpoint = 0;
    int in_packet = 0;  // wMaxPacketSize of the IN endpoint
};

// The libusb calls the transport makes, so that a test can put a scripted device behind them.
// Results are libusb error codes (0 = success). The transfer callbacks run inside
// handle_events, on the link's event thread.
struct usbuniv_backend {
    int (*init)(libusb_context **context_out);
    void (*exit)(libusb_context *context);
    // Finds the device that the listing names `serial` among those of vid:pid, opens it, claims
    // interface 0 (detaching a kernel driver until release) and finds its bulk endpoints.
    int (*open)(libusb_context *context, int vid, int pid, const char *serial, usbuniv_device *out);
    // Releases interface 0, which gives a detached kernel driver back, and closes the device.
    void (*close)(usbuniv_device *device);
    int (*submit_transfer)(libusb_transfer *transfer);
    int (*cancel_transfer)(libusb_transfer *transfer);  // any thread; returns at once
    int (*bulk_transfer)(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
                         int length, int *transferred, unsigned timeout_ms);
    int (*handle_events)(libusb_context *context, timeval *timeout, int *completed);
    void (*interrupt_events)(libusb_context *context);  // wakes handle_events at once
};

extern const usbuniv_backend usbuniv_libusb;

// The backend of links connected from now on; null restores libusb. For tests.
void usbuniv_set_backend(const usbuniv_backend *backend);

int usbuniv_set_params(void *context, int conn_id, int vid, int pid, const char *device);
int usbuniv_init(void **context_out);
int usbuniv_free(void **context);
int usbuniv_connect(void *context);
int usbuniv_disconnect(void *context);
int usbuniv_read(void *context, char *buffer, int *size_in_out);
int usbuniv_write(void *context, const char *data, int length, int *written_out, int timeout_ms);
int usbuniv_waitget(void *context, int mask, int *subcode_out);
int usbuniv_waitset(void *context, int interest);
int usbuniv_waitfor(void **contexts, int count, int timeout_ms);

// Writes up to `max` 128-byte entries "USBU/serial/vvvv/pppp" for the attached devices whose
// vendor id lies in [vid_min, vid_max] and product id in [pid_min, pid_max] (0..0: any) and whose
// serial matches `serial_filter` ("?" matches any character; matching stops at the end of the
// shorter text). Devices are not opened: the serial is the one the kernel read at enumeration.
// `description_filter` excludes nothing. 0, or -1 with the reason logged.
int usbuniv_list_devices(int reserved, char *out, int max, int *count_out,
                         const char *description_filter, const char *serial_filter, int vid_min,
                         int vid_max, int pid_min, int pid_max);
