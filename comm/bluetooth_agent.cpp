// The PIN agent over sd-bus: an object with the Agent1 methods on a bus connection of its own,
// registered with BlueZ's agent manager (and made the default agent, since pairing that the
// kernel starts for a secured RFCOMM socket goes to the default agent) until it is closed.
#include "bluetooth_agent.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "bluetooth_bus.h"
#include "log.h"

struct bt_agent {
    bt_bus_ref bus;
    sd_bus_slot *object = nullptr;
    std::string path;
    std::string device_node;  // the one device this agent answers for
    std::string pin;
    std::string bluez;  // BlueZ's unique bus name: the only caller the agent answers
    bool registered = false;
};

namespace {

constexpr const char *kManagerPath = "/org/bluez";
constexpr const char *kManagerIface = "org.bluez.AgentManager1";
constexpr const char *kRejected = "org.bluez.Error.Rejected";
// The agent enters a PIN and shows nothing. Not "NoInputNoOutput": with it the kernel accepts
// more incoming Secure Simple Pairings on its own, without asking the agent, which here refuses
// every confirmation and passkey. The instruments pair with a legacy PIN, asked for whatever the
// capability says.
constexpr const char *kCapability = "KeyboardOnly";

bt_agent *agent_of(void *userdata) {
    return static_cast<bt_agent *>(userdata);
}

// Whether BlueZ made the call and its first argument is the object path of the agent's device.
// Any process on the system bus can call the agent; only BlueZ may learn the PIN.
bool for_our_device(sd_bus_message *m, bt_agent *agent) {
    const char *sender = sd_bus_message_get_sender(m);
    if (!sender || agent->bluez != sender) return false;
    const char *device = nullptr;
    if (sd_bus_message_read(m, "o", &device) < 0 || !device) return false;
    const char *node = std::strrchr(device, '/');
    return node && agent->device_node == node + 1;
}

std::string owner_of_bluez(sd_bus *bus) {
    bt_error_scope e;
    sd_bus_message *reply = nullptr;
    const char *owner = nullptr;
    std::string result;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetNameOwner", &e.error, &reply, "s",
                           BT_BLUEZ) >= 0 &&
        sd_bus_message_read(reply, "s", &owner) >= 0 && owner)
        result = owner;
    sd_bus_message_unref(reply);
    return result;
}

int reject(sd_bus_message *m) {
    return sd_bus_reply_method_errorf(m, kRejected, "Not the device being connected");
}

int on_request_pin(sd_bus_message *m, void *userdata, sd_bus_error *) {
    bt_agent *agent = agent_of(userdata);
    if (!for_our_device(m, agent)) return reject(m);
    return sd_bus_reply_method_return(m, "s", agent->pin.c_str());
}

// Passkeys, confirmations and authorisations are a person's to grant, and nobody is asked: while
// this agent is the default one, granting them would let any device pair or reach local services
// such as keyboard input. An outgoing RFCOMM link needs none of them.
int on_refused(sd_bus_message *m, void *, sd_bus_error *) {
    return sd_bus_reply_method_errorf(m, kRejected, "This agent only gives a preset PIN");
}

int on_notice(sd_bus_message *m, void *, sd_bus_error *) {
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable agent_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", on_notice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPinCode", "o", "s", on_request_pin, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPinCode", "os", "", on_refused, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPasskey", "o", "u", on_refused, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPasskey", "ouq", "", on_refused, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestConfirmation", "ou", "", on_refused, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestAuthorization", "o", "", on_refused, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AuthorizeService", "os", "", on_refused, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Cancel", "", "", on_notice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

int manager_call(bt_agent *agent, const char *method, bool with_capability) {
    bt_error_scope e;
    int r =
        with_capability
            ? sd_bus_call_method(agent->bus.get(), BT_BLUEZ, kManagerPath, kManagerIface, method,
                                 &e.error, nullptr, "os", agent->path.c_str(), kCapability)
            : sd_bus_call_method(agent->bus.get(), BT_BLUEZ, kManagerPath, kManagerIface, method,
                                 &e.error, nullptr, "o", agent->path.c_str());
    if (r < 0) log_write(LOG_CH_BT, "NetBT agent %s failed: %s\n", method, e.text());
    return r;
}

}  // namespace

void bt_agent_deleter::operator()(bt_agent *agent) const {
    if (agent->registered) manager_call(agent, "UnregisterAgent", false);
    sd_bus_slot_unref(agent->object);
    delete agent;  // closes the bus: BlueZ forgets an agent whose connection is gone as well
}

bt_agent_ref bt_agent_open(const char *address_text, const char *pin, int conn_id) {
    bt_agent_ref agent(new bt_agent);
    agent->bus = bt_bus_open();
    if (!agent->bus) {
        log_write(LOG_CH_BT, "NetBT no system bus: PIN requests go unanswered\n");
        return nullptr;
    }
    agent->path = "/com/corvanta/survokart/agent" + std::to_string(conn_id);
    agent->device_node = bt_bus_device_node(address_text);
    agent->pin = pin ? pin : "";
    agent->bluez = owner_of_bluez(agent->bus.get());
    if (sd_bus_add_object_vtable(agent->bus.get(), &agent->object, agent->path.c_str(),
                                 "org.bluez.Agent1", agent_vtable, agent.get()) < 0)
        return nullptr;
    if (manager_call(agent.get(), "RegisterAgent", true) < 0) return nullptr;
    agent->registered = true;
    manager_call(agent.get(), "RequestDefaultAgent", false);
    return agent;
}

pollfd bt_agent_pollfd(bt_agent *agent) {
    int events = sd_bus_get_events(agent->bus.get());
    return {sd_bus_get_fd(agent->bus.get()), static_cast<short>(events < 0 ? 0 : events), 0};
}

int bt_agent_process(bt_agent *agent) {
    int r;
    while ((r = sd_bus_process(agent->bus.get(), nullptr)) > 0) {
    }
    return r < 0 ? -1 : 0;
}
