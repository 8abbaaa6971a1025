// Connection strings: the one text by which settings, dialogs and device objects name a link.
// Parsing is a pure function; builders write into 128-byte buffers.
#pragma once

constexpr int COMM_CONN_STRING_SIZE = 128;  // buffer size of every builder
constexpr int COMM_CONN_STRING_MAX = 127;   // longer input is cut before parsing
constexpr int COMM_DEVICE_FIELD_MAX = 64;   // USB serials
constexpr int COMM_SERIAL_PATH_MAX = 63;    // a bracketed serial path is shorter than 64
constexpr int COMM_NET_HOST_MAX = 46;
constexpr int COMM_BT_ADDRESS_MAX = 20;
constexpr int COMM_BT_PIN_MAX = 16;

enum comm_kind {
    COMM_KIND_NONE,
    COMM_KIND_USBF,
    COMM_KIND_USBS,
    COMM_KIND_USBU,
    COMM_KIND_USRT,
    COMM_KIND_BLTH,
    COMM_KIND_NETW
};

struct comm_serial_line {
    int baud, databits, stopbits, parity, flow;
};

struct comm_conn_params {
    comm_kind kind;
    // USBF/USBS serial, USBU device (63 characters kept), USRT device path, BLTH address,
    // NETW host.
    char device[COMM_DEVICE_FIELD_MAX + 1];
    int vid, pid;                   // USBU
    comm_serial_line line;          // USBS, USRT
    int channel;                    // BLTH
    char pin[COMM_BT_PIN_MAX + 1];  // BLTH
    int port;                       // NETW
    int timeout_ms;                 // BLTH, NETW connect time-out
};

// How a parse ended; the manager logs accordingly.
enum comm_parse_result {
    COMM_PARSE_OK = 0,
    COMM_PARSE_UNKNOWN = -1,   // unknown kind or a kind's rule broken: "Comm unknown device"
    COMM_PARSE_BAD_HOST = -2,  // NETW host missing or too long: "Comm connect failed"
    COMM_PARSE_SILENT = -3,    // NETW port or time-out missing
};

comm_parse_result comm_parse_conn_string(const char *conn_string, comm_conn_params *out);

int comm_make_conn_string_usb(char *buf, const char *kind, const char *device, int vid, int pid);
int comm_make_conn_string_ftdi_serial(char *buf, const char *serial, int baud, int databits,
                                      int stopbits, int parity, int flow);
int comm_make_conn_string_serial(char *buf, unsigned port, int baud, int databits, int stopbits,
                                 int parity, int flow);
int comm_make_conn_string_serial_path(char *buf, const char *path, int baud, int databits,
                                      int stopbits, int parity, int flow);
int comm_make_conn_string_net(char *buf, const char *host, unsigned port, int timeout_ms);
int comm_make_conn_string_bt(char *buf, const char *address, const char *name, int class_filter,
                             int channel, const char *pin, int timeout_ms);
// Rewrites channel, PIN and time-out of a "BLTH" string in place.
int comm_set_conn_string_bt(char *conn_string, int channel, const char *pin, int timeout_ms);

// Fills `out` (128 bytes, zeroed first) with the device part of a connection string; returns it,
// or null when the string has no "/" or the part does not fit.
char *comm_get_devid_string(const char *conn_string, char *out);
int comm_get_version(char *dst, int size);
