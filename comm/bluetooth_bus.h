// The BlueZ side of the system bus, shared by the PIN agent, the availability check and the
// inquiry. One bus connection per user and thread: sd-bus connections are not shared between
// threads.
#pragma once

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <string>

constexpr const char *BT_BLUEZ = "org.bluez";
constexpr const char *BT_ADAPTER_IFACE = "org.bluez.Adapter1";
constexpr const char *BT_DEVICE_IFACE = "org.bluez.Device1";

struct bt_bus_closer {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
using bt_bus_ref = std::unique_ptr<sd_bus, bt_bus_closer>;

struct bt_message_unref {
    void operator()(sd_bus_message *m) const { sd_bus_message_unref(m); }
};
using bt_message_ref = std::unique_ptr<sd_bus_message, bt_message_unref>;

struct bt_error_scope {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    ~bt_error_scope() { sd_bus_error_free(&error); }
    const char *text() const { return error.message ? error.message : "no answer"; }
};

// Reads one "a{sv}" property dictionary; `take` reads the variant of the keys it wants and
// returns true, other values are skipped. <0 on a malformed message.
template <typename Take>
int bt_bus_read_props(sd_bus_message *m, Take take) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *key = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
        if (!take(key, m) && (r = sd_bus_message_skip(m, "v")) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

// Reads one object's "a{sa{sv}}"; `take(interface, m)` reads the property dictionary of the
// interfaces it wants and returns true, the others are skipped. <0 on a malformed message.
template <typename Take>
int bt_bus_read_interfaces(sd_bus_message *m, Take take) {
    int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
        const char *iface = nullptr;
        if ((r = sd_bus_message_read(m, "s", &iface)) < 0) return r;
        if (!take(iface, m) && (r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

// Calls BlueZ's GetManagedObjects and hands every object to `take(path, interface, m)` as
// bt_bus_read_interfaces does. <0 without BlueZ or on a malformed answer.
template <typename Take>
int bt_bus_read_objects(sd_bus *bus, Take take) {
    bt_error_scope e;
    sd_bus_message *reply = nullptr;
    int r = sd_bus_call_method(bus, BT_BLUEZ, "/", "org.freedesktop.DBus.ObjectManager",
                               "GetManagedObjects", &e.error, &reply, "");
    if (r < 0) return r;
    bt_message_ref owned(reply);
    if ((r = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}")) < 0) return r;
    while ((r = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
        const char *path = nullptr;
        if ((r = sd_bus_message_read(reply, "o", &path)) < 0) return r;
        r = bt_bus_read_interfaces(
            reply, [&](const char *iface, sd_bus_message *m) { return take(path, iface, m); });
        if (r < 0 || (r = sd_bus_message_exit_container(reply)) < 0) return r;
    }
    return r;
}

// A fresh connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), whose calls give up
// after the call time-out; null without one.
bt_bus_ref bt_bus_open();

// The object path of BlueZ's first powered adapter; empty when there is none or no BlueZ.
std::string bt_bus_powered_adapter(sd_bus *bus);

// The last element of a device object path ("dev_00_1A_7D_DA_71_13") for an address.
std::string bt_bus_device_node(const char *address_text);
