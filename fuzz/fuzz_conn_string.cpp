// Connection strings come from settings files and dialogs: no input may crash the parser or the
// device-part extraction. Every string a builder returns must parse back to the fields it was
// built from, and every accepted string must rebuild into one that parses the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "comm/conn_string.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

comm_conn_params parsed(const char *built) {
    comm_conn_params p;
    require(comm_parse_conn_string(built, &p) == COMM_PARSE_OK);
    return p;
}

bool same_line(const comm_serial_line &a, int baud, int databits, int stopbits, int parity,
               int flow) {
    return a.baud == baud && a.databits == databits && a.stopbits == stopbits &&
           a.parity == parity && a.flow == flow;
}

// Calls one builder with arguments drawn from the input; whatever it builds must parse back.
void check_a_builder(FuzzedDataProvider &in) {
    char buf[COMM_CONN_STRING_SIZE];
    std::string text = in.ConsumeRandomLengthString(80);
    const char *s = text.c_str();
    int a = in.ConsumeIntegral<int>(), b = in.ConsumeIntegral<int>();
    int n[5];
    for (int &v : n)
        v = in.ConsumeIntegralInRange<int>(-2, 200000);
    unsigned port = in.ConsumeIntegralInRange<unsigned>(0, 70000);
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: {
            const char *kind = in.ConsumeBool() ? "USBU" : "USBF";
            if (comm_make_conn_string_usb(buf, kind, s, a, b) != 0) return;
            comm_conn_params p = parsed(buf);
            require(std::strcmp(p.device, s) == 0);
            if (p.kind == COMM_KIND_USBU) require(p.vid == a && p.pid == b);
            return;
        }
        case 1: {
            if (comm_make_conn_string_ftdi_serial(buf, s, n[0], n[1], n[2], n[3], n[4]) != 0)
                return;
            comm_conn_params p = parsed(buf);
            require(std::strcmp(p.device, s) == 0 &&
                    same_line(p.line, n[0], n[1], n[2], n[3], n[4]));
            return;
        }
        case 2: {
            if (comm_make_conn_string_serial(buf, port, n[0], n[1], n[2], n[3], n[4]) != 0) return;
            comm_conn_params p = parsed(buf);
            require(p.device == "/dev/ttyS" + std::to_string(port - 1) &&
                    same_line(p.line, n[0], n[1], n[2], n[3], n[4]));
            return;
        }
        case 3: {
            if (comm_make_conn_string_serial_path(buf, s, n[0], n[1], n[2], n[3], n[4]) != 0)
                return;
            comm_conn_params p = parsed(buf);
            require(std::strcmp(p.device, s) == 0 &&
                    same_line(p.line, n[0], n[1], n[2], n[3], n[4]));
            return;
        }
        case 4: {
            if (comm_make_conn_string_net(buf, s, port, n[0]) != 0) return;
            comm_conn_params p = parsed(buf);
            require(std::strcmp(p.device, s) == 0 && p.port == static_cast<int>(port) &&
                    p.timeout_ms == n[0]);
            return;
        }
        default: {
            std::string pin = in.ConsumeRandomLengthString(6);
            std::string name = in.ConsumeRemainingBytesAsString();
            if (comm_make_conn_string_bt(buf, s, name.c_str(), a, n[0], pin.c_str(), n[1]) != 0)
                return;
            comm_conn_params p = parsed(buf);
            require(std::strcmp(p.device, s) == 0 && p.channel == n[0] && p.timeout_ms == n[1] &&
                    std::string(p.pin) == std::string(pin.c_str()).substr(0, 4));
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();  // the interfaces take C strings
    comm_conn_params p;
    comm_parse_conn_string(text.c_str(), &p);
    char out[COMM_CONN_STRING_SIZE];
    comm_get_devid_string(text.c_str(), out);
    char bt[COMM_CONN_STRING_SIZE];
    std::snprintf(bt, sizeof bt, "%s", text.c_str());
    comm_set_conn_string_bt(bt, 1, "9153", 60000);
    if (p.kind == COMM_KIND_NETW) {
        char rebuilt[COMM_CONN_STRING_SIZE];
        require(comm_make_conn_string_net(rebuilt, p.device, p.port, p.timeout_ms) == 0);
        comm_conn_params q = parsed(rebuilt);
        require(q.port == p.port && std::strcmp(q.device, p.device) == 0);
    }
    FuzzedDataProvider in(data, size);
    check_a_builder(in);
    return 0;
}
