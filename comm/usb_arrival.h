// The USB arrival watch: a thread that tells a callback whenever an instrument's USB device
// (vendor 0x1781, products 0x0c45-0x0c4d) arrives or leaves, so that device lists can be
// refreshed.
#pragma once

#include <memory>
#include <mutex>

#include "forward.h"
#include "thread.h"

struct usb_watch;

enum usb_watch_mode {
    USB_WATCH_AUTO,     // hotplug events where udev delivers them, else re-enumeration
    USB_WATCH_HOTPLUG,  // libusb hotplug events only
    USB_WATCH_POLL,     // re-enumeration every poll_ms only
};

constexpr int USB_WATCH_POLL_MS = 2000;

// One watch at a time. `lock` serialises register and deregister; the watch's own state lives
// behind the shared pointer, which the thread co-owns, so a thread that outlives its join never
// touches freed memory.
struct usb_event_reg_rec {
    std::mutex lock;
    thread_t thread;                     // guarded by lock
    std::shared_ptr<usb_watch> running;  // guarded by lock; null when stopped
    // How changes are learnt; read by usb_register.
    usb_watch_mode mode = USB_WATCH_AUTO;
    int poll_ms = USB_WATCH_POLL_MS;
};

// Starts the watch thread (a running one is stopped first); the callback runs on it. 0, or -1
// with the reason logged.
int usb_register(usb_event_reg_rec *record, comm_usb_event_cb callback, void *user);
// Stops and joins the watch thread. Once this returns the callback does not run again. Never
// call it from the callback. 0.
int usb_deregister(usb_event_reg_rec *record);
