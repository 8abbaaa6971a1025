// The PIN agent (org.bluez.Agent1) a Bluetooth link registers with BlueZ while it opens, so that
// pairing with an instrument that asks for a PIN needs nobody at the keyboard.
//
// Threads: one agent belongs to the thread that opens the link; it answers BlueZ only while
// that thread calls bt_agent_process.
#pragma once

#include <poll.h>

#include <memory>

struct bt_agent;
struct bt_agent_deleter {
    void operator()(bt_agent *agent) const;  // unregisters the agent and closes its bus
};
using bt_agent_ref = std::unique_ptr<bt_agent, bt_agent_deleter>;

// Registers an agent that answers PIN requests for the device at `address_text` (canonical
// "XX:XX:XX:XX:XX:XX") with `pin`, and refuses every other device and every other request. Null
// without BlueZ: the link may still open when the device is paired already.
bt_agent_ref bt_agent_open(const char *address_text, const char *pin, int conn_id);

// What to poll for on the agent's bus, valid right after bt_agent_process (what is queued
// already never wakes a poll). The agent makes no calls of its own while it waits, so it has no
// time-outs to keep.
pollfd bt_agent_pollfd(bt_agent *agent);
// Answers what BlueZ has asked. 0, or -1 when the bus is gone.
int bt_agent_process(bt_agent *agent);
