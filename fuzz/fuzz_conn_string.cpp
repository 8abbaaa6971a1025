// Connection strings come from settings files and dialogs: no input may crash the parser or the
// device-part extraction, and every accepted string must rebuild into one that parses the same.
#include <cstdint>
#include <cstring>
#include <string>

#include "comm/conn_string.h"

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
        comm_conn_params q;
        if (comm_make_conn_string_net(rebuilt, p.device, p.port, p.timeout_ms) != 0 ||
            comm_parse_conn_string(rebuilt, &q) != COMM_PARSE_OK || q.port != p.port ||
            std::strcmp(q.device, p.device) != 0)
            __builtin_trap();
    }
    return 0;
}
