#include "conn_string.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace {

// Walks the "/"-separated fields of a connection string.
class Fields {
public:
    explicit Fields(std::string_view text) : rest_(text) {}

    std::optional<std::string_view> next() {
        if (done_) return std::nullopt;
        size_t slash = rest_.find('/');
        std::string_view field = rest_.substr(0, slash);
        if (slash == std::string_view::npos)
            done_ = true;
        else
            rest_.remove_prefix(slash + 1);
        return field;
    }

    std::string_view rest() const { return done_ ? std::string_view{} : rest_; }
    void resume(std::string_view rest) { rest_ = rest; }

    std::optional<int> number(int base = 10) {
        auto field = next();
        if (!field || field->empty()) return std::nullopt;
        unsigned long value = 0;
        auto [end, ec] = std::from_chars(field->data(), field->data() + field->size(), value, base);
        if (ec != std::errc{} || end != field->data() + field->size() || value > 0x7fffffffUL)
            return std::nullopt;
        return static_cast<int>(value);
    }

    bool serial_line(comm_serial_line *line) {
        int *dst[] = {&line->baud, &line->databits, &line->stopbits, &line->parity, &line->flow};
        for (int *d : dst) {
            auto n = number();
            if (!n) return false;
            *d = *n;
        }
        return true;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

bool copy_field(char *dst, size_t size, std::string_view field, size_t max_length) {
    if (field.size() > max_length) return false;
    size_t n = std::min(field.size(), size - 1);
    std::memcpy(dst, field.data(), n);
    dst[n] = '\0';
    return true;
}

comm_parse_result parse_usbu(Fields &f, comm_conn_params *out) {
    auto device = f.next();
    if (!device || device->empty() ||
        !copy_field(out->device, sizeof out->device, *device, COMM_DEVICE_FIELD_MAX))
        return COMM_PARSE_UNKNOWN;
    auto vid = f.number(16);
    auto pid = f.number(16);
    if (!vid || !pid || *vid == 0 || *pid == 0 || *vid > 0xffff || *pid > 0xffff)
        return COMM_PARSE_UNKNOWN;
    out->device[COMM_DEVICE_FIELD_MAX - 1] = '\0';  // the WinUSB serial keeps 63 characters
    out->vid = *vid;
    out->pid = *pid;
    return COMM_PARSE_OK;
}

comm_parse_result parse_ftdi(Fields &f, comm_conn_params *out, bool serial_line) {
    auto serial = f.next();
    if (!serial || serial->empty() ||
        !copy_field(out->device, sizeof out->device, *serial, COMM_DEVICE_FIELD_MAX))
        return COMM_PARSE_UNKNOWN;
    if (serial_line && !f.serial_line(&out->line)) return COMM_PARSE_UNKNOWN;
    return COMM_PARSE_OK;
}

comm_parse_result parse_usrt(Fields &f, comm_conn_params *out) {
    std::string_view rest = f.rest();
    if (rest.starts_with('(')) {
        size_t close = rest.find(')');
        if (close == std::string_view::npos || close == 1 ||
            !copy_field(out->device, sizeof out->device, rest.substr(1, close - 1),
                        COMM_SERIAL_PATH_MAX))
            return COMM_PARSE_UNKNOWN;
        rest.remove_prefix(close + 1);
        if (!rest.starts_with('/')) return COMM_PARSE_UNKNOWN;
        f.resume(rest.substr(1));
    } else if (rest.starts_with("COM")) {
        auto port_field = f.next();
        port_field->remove_prefix(3);
        unsigned long n = 0;
        auto [end, ec] =
            std::from_chars(port_field->data(), port_field->data() + port_field->size(), n);
        // COMn is the n-th serial port, /dev/ttyS(n-1); there is no COM0.
        if (ec != std::errc{} || end != port_field->data() + port_field->size() || n < 1 ||
            n > 0xffff)
            return COMM_PARSE_UNKNOWN;
        std::snprintf(out->device, sizeof out->device, "/dev/ttyS%lu", n - 1);
    } else {
        return COMM_PARSE_UNKNOWN;
    }
    return f.serial_line(&out->line) ? COMM_PARSE_OK : COMM_PARSE_UNKNOWN;
}

comm_parse_result parse_blth(Fields &f, comm_conn_params *out) {
    auto address = f.next();
    if (!address || address->empty() ||
        !copy_field(out->device, sizeof out->device, *address, COMM_BT_ADDRESS_MAX))
        return COMM_PARSE_UNKNOWN;
    auto channel = f.number();
    auto pin = f.next();
    if (!channel || !pin || !copy_field(out->pin, sizeof out->pin, *pin, COMM_BT_PIN_MAX))
        return COMM_PARSE_UNKNOWN;
    auto timeout = f.number();
    if (!timeout) return COMM_PARSE_UNKNOWN;
    out->channel = *channel;
    out->timeout_ms = *timeout;
    return COMM_PARSE_OK;
}

comm_parse_result parse_netw(Fields &f, comm_conn_params *out) {
    auto host = f.next();
    if (!host || host->empty() ||
        !copy_field(out->device, sizeof out->device, *host, COMM_NET_HOST_MAX))
        return COMM_PARSE_BAD_HOST;
    auto port = f.number();
    auto timeout = f.number();
    if (!port || !timeout || *port == 0 || *port > 0xffff) return COMM_PARSE_SILENT;
    out->port = *port;
    out->timeout_ms = *timeout;
    return COMM_PARSE_OK;
}

// A text field a builder may write: present, not empty, not too long, and free of the
// characters that would end it early when the string is parsed again.
bool buildable(const char *field, size_t max_length, std::string_view stops = "/") {
    if (!field || !field[0] || std::strlen(field) > max_length) return false;
    return std::string_view(field).find_first_of(stops) == std::string_view::npos;
}

bool all_non_negative(std::initializer_list<int> numbers) {
    return std::all_of(numbers.begin(), numbers.end(), [](int n) { return n >= 0; });
}

bool valid_port(unsigned port) {
    return port >= 1 && port <= 0xffff;
}

// snprintf into a 128-byte buffer; false when the text would not fit.
template <typename... Args>
bool format_into(char *buf, const char *format, Args... args) {
    int n = std::snprintf(buf, COMM_CONN_STRING_SIZE, format, args...);
    return n >= 0 && n < COMM_CONN_STRING_SIZE;
}

}  // namespace

comm_parse_result comm_parse_conn_string(const char *conn_string, comm_conn_params *out) {
    if (!conn_string || !out) return COMM_PARSE_UNKNOWN;
    *out = comm_conn_params{};
    std::string_view text(conn_string, strnlen(conn_string, COMM_CONN_STRING_MAX));
    Fields f(text);
    std::string_view kind = f.next().value_or("");
    comm_parse_result r = COMM_PARSE_UNKNOWN;
    if (kind == "USBU") {
        out->kind = COMM_KIND_USBU;
        r = parse_usbu(f, out);
    } else if (kind == "USBF") {
        out->kind = COMM_KIND_USBF;
        r = parse_ftdi(f, out, false);
    } else if (kind == "USBS") {
        out->kind = COMM_KIND_USBS;
        r = parse_ftdi(f, out, true);
    } else if (kind == "USRT") {
        out->kind = COMM_KIND_USRT;
        r = parse_usrt(f, out);
    } else if (kind == "BLTH") {
        out->kind = COMM_KIND_BLTH;
        r = parse_blth(f, out);
    } else if (kind == "NETW") {
        out->kind = COMM_KIND_NETW;
        r = parse_netw(f, out);
    }
    if (r != COMM_PARSE_OK) *out = comm_conn_params{};
    return r;
}

int comm_make_conn_string_usb(char *buf, const char *kind, const char *device, int vid, int pid) {
    if (!buf || !kind) return -1;
    const bool winusb = std::strcmp(kind, "USBU") == 0;
    if (!winusb && std::strcmp(kind, "USBF") != 0) return -1;
    // A WinUSB serial keeps 63 characters when parsed, and its ids must not be 0.
    if (!buildable(device, winusb ? COMM_DEVICE_FIELD_MAX - 1 : COMM_DEVICE_FIELD_MAX)) return -1;
    if (vid < (winusb ? 1 : 0) || pid < (winusb ? 1 : 0) || vid > 0xffff || pid > 0xffff) return -1;
    return format_into(buf, "%s/%s/%.4x/%.4x", kind, device, vid, pid) ? 0 : -1;
}

int comm_make_conn_string_ftdi_serial(char *buf, const char *serial, int baud, int databits,
                                      int stopbits, int parity, int flow) {
    if (!buf || !buildable(serial, COMM_DEVICE_FIELD_MAX) ||
        !all_non_negative({baud, databits, stopbits, parity, flow}))
        return -1;
    return format_into(buf, "%s/%s/%d/%d/%d/%d/%d", "USBS", serial, baud, databits, stopbits,
                       parity, flow)
               ? 0
               : -1;
}

int comm_make_conn_string_serial(char *buf, unsigned port, int baud, int databits, int stopbits,
                                 int parity, int flow) {
    // COM0 and numbers past 16 bits name no port.
    if (!buf || !valid_port(port) || !all_non_negative({baud, databits, stopbits, parity, flow}))
        return -1;
    return format_into(buf, "%s/COM%d/%d/%d/%d/%d/%d", "USRT", static_cast<int>(port), baud,
                       databits, stopbits, parity, flow)
               ? 0
               : -1;
}

int comm_make_conn_string_serial_path(char *buf, const char *path, int baud, int databits,
                                      int stopbits, int parity, int flow) {
    // The parser takes bracketed paths shorter than 64 characters; a longer one would build a
    // string that no connection can be opened from.
    if (!buf || !buildable(path, COMM_SERIAL_PATH_MAX, ")") ||
        !all_non_negative({baud, databits, stopbits, parity, flow}))
        return -1;
    return format_into(buf, "%s/(%s)/%d/%d/%d/%d/%d", "USRT", path, baud, databits, stopbits,
                       parity, flow)
               ? 0
               : -1;
}

int comm_make_conn_string_net(char *buf, const char *host, unsigned port, int timeout_ms) {
    if (!buf) return -1;
    if (!buildable(host, COMM_NET_HOST_MAX) || !valid_port(port) || timeout_ms < 0) {
        std::memset(buf, 0, COMM_CONN_STRING_SIZE);
        return -1;
    }
    if (!format_into(buf, "%s/%s/%d/%d", "NETW", host, static_cast<int>(port), timeout_ms)) {
        std::memset(buf, 0, COMM_CONN_STRING_SIZE);
        return -1;
    }
    return 0;
}

int comm_make_conn_string_bt(char *buf, const char *address, const char *name, int class_filter,
                             int channel, const char *pin, int timeout_ms) {
    if (!buf || !buildable(address, COMM_BT_ADDRESS_MAX) || !name || !pin ||
        std::strchr(pin, '/') || !all_non_negative({channel, timeout_ms}))
        return -1;
    return format_into(buf, "%s/%s/%d/%.4s/%d/%d/%s", "BLTH", address, channel, pin, timeout_ms,
                       class_filter, name[0] ? name : "Unknown")
               ? 0
               : -1;
}

int comm_set_conn_string_bt(char *conn_string, int channel, const char *pin, int timeout_ms) {
    if (!conn_string || !pin) return -1;
    char copy[COMM_CONN_STRING_SIZE];
    std::snprintf(copy, sizeof copy, "%s", conn_string);
    Fields f(copy);
    std::string_view fields[7];
    for (std::string_view &field : fields) {
        std::optional<std::string_view> next = f.next();
        if (!next) return -1;
        field = *next;
    }
    if (fields[0] != "BLTH") return -1;
    auto width = [](std::string_view v) { return static_cast<int>(v.size()); };
    // The name is the rest of the string: it may itself hold a "/".
    const char *name = fields[6].data();
    return format_into(conn_string, "%.*s/%.*s/%d/%.4s/%d/%.*s/%s", width(fields[0]),
                       fields[0].data(), width(fields[1]), fields[1].data(), channel, pin,
                       timeout_ms, width(fields[5]), fields[5].data(), name)
               ? 0
               : -1;
}

char *comm_get_devid_string(const char *conn_string, char *out) {
    if (!out) return nullptr;
    std::memset(out, 0, COMM_CONN_STRING_SIZE);
    if (!conn_string) return nullptr;
    std::string_view text(conn_string);
    size_t first = text.find('/');
    if (first == std::string_view::npos) return nullptr;
    std::string_view part;
    size_t last = text.rfind('/');
    if (text.starts_with("BLTH/") && text.substr(last) != "/Unknown") {
        part = text.substr(last + 1);
    } else {
        part = text.substr(first + 1);
        part = part.substr(0, part.find('/'));
        if (part.starts_with('(')) {
            std::string_view inner = text.substr(first + 2);
            part = inner.substr(0, inner.find(')'));
        }
    }
    if (part.size() >= COMM_CONN_STRING_SIZE) return nullptr;
    std::memcpy(out, part.data(), part.size());
    return out;
}

int comm_get_version(char *dst, int size) {
    if (!dst || size <= 0) return -1;
    std::snprintf(dst, static_cast<size_t>(size), "%s", "0.8.2");
    return 0;
}
