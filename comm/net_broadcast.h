// UDP broadcast discovery: a listener thread on port 4455 hands every datagram to a callback, and
// a sender puts one datagram on the broadcast address of every IPv4 network this host is on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "forward.h"
#include "instrument_ids.h"
#include "thread.h"

struct ifaddrs;
struct net_broadcast_listener;

// One listener at a time. `lock` serialises register and deregister; the listener's own state
// lives behind the shared pointer, which the thread co-owns, so a thread that outlives its join
// never touches freed memory.
struct net_broadcast_event_reg_rec {
    std::mutex lock;
    thread_t thread;                                  // guarded by lock
    std::shared_ptr<net_broadcast_listener> running;  // guarded by lock; null when stopped
};

// Binds port 4455 (with SO_REUSEADDR) and starts the listener thread, which calls `callback`
// with each datagram. A listener already running is stopped first. 0; -1 with the reason logged
// when the socket cannot be set up or the thread cannot start.
int net_broadcast_register(net_broadcast_event_reg_rec *record, comm_datagram_cb callback,
                           void *user);
// Wakes the listener and joins it (at most 5 s). Once this returns the callback does not run
// again, and the port is free unless the thread overran its join. Never call it from the
// callback. 0.
int net_broadcast_deregister(net_broadcast_event_reg_rec *record);
// Sends the datagram to `port` on every address of net_broadcast_addresses(). 0 when at least
// one address took it; -1 for bad arguments, no network to broadcast on, or no send succeeding.
int net_broadcast_send(const char *data, int length, int reserved, int port);

// The broadcast address of one interface address (network byte order): (address & mask) | ~mask
// for an IPv4 address on an interface that is up, broadcast-capable and not loopback; else 0.
uint32_t net_broadcast_address(const ifaddrs &entry);
// The distinct broadcast addresses of a getifaddrs() list, in list order.
std::vector<uint32_t> net_broadcast_addresses(const ifaddrs *list);
