// BlueZ on the system bus: the connection and the adapter lookup.
#include "bluetooth_bus.h"

#include <atomic>
#include <cctype>

#include "bluetooth.h"

namespace {

std::atomic<int> call_timeout_ms{5000};  // the longest a BlueZ call may take

}  // namespace

int bt_ms_set_call_timeout_ms(int ms) {
    return call_timeout_ms.exchange(ms);
}

bt_bus_ref bt_bus_open() {
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return nullptr;
    sd_bus_set_method_call_timeout(bus, static_cast<uint64_t>(call_timeout_ms.load()) * 1000);
    return bt_bus_ref(bus);
}

std::string bt_bus_powered_adapter(sd_bus *bus) {
    std::string found;
    if (!bus) return found;
    int r = bt_bus_read_objects(bus, [&](const char *path, const char *iface, sd_bus_message *m) {
        if (std::strcmp(iface, BT_ADAPTER_IFACE) != 0) return false;
        bool powered = false;
        int read = bt_bus_read_props(m, [&](const char *key, sd_bus_message *v) {
            int on = 0;
            if (std::strcmp(key, "Powered") != 0 || sd_bus_message_read(v, "v", "b", &on) < 0)
                return false;
            powered = on;
            return true;
        });
        if (read >= 0 && powered && found.empty()) found = path;
        return read >= 0;
    });
    return r < 0 ? std::string() : found;
}

std::string bt_bus_device_node(const char *address_text) {
    std::string node = "dev_";
    for (const char *p = address_text; p && *p; ++p)
        node += *p == ':' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return node;
}
