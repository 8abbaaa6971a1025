// The USB arrival watch over libusb: hotplug events where udev delivers them, otherwise a
// re-enumeration at a fixed period that reports a changed list. The thread sleeps in libusb's
// event handling or in poll() on an eventfd, so a deregister wakes it at once.
#include "usb_arrival.h"

#include <libusb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "conn_string.h"
#include "conn_table.h"
#include "log.h"
#include "poll_wait.h"
#include "usb.h"

struct usb_watch {
    // Set before the thread starts; released when the last owner lets go.
    comm_usb_event_cb callback = nullptr;
    void *user = nullptr;
    int poll_ms = USB_WATCH_POLL_MS;
    libusb_context *usb = nullptr;  // hotplug mode only
    libusb_hotplug_callback_handle hotplug = 0;
    bool hotplug_registered = false;
    int wake_fd = -1;    // written by deregister, never read
    std::string listed;  // polling mode: what the last look found; watch thread only, once started

    std::atomic<bool> run{true};
    // Held around every callback. Deregister takes it to set `stopped`, so that once deregister
    // returns no callback is running and none will start.
    std::mutex callback_lock;
    bool stopped = false;  // guarded by callback_lock

    ~usb_watch() {
        if (hotplug_registered) libusb_hotplug_deregister_callback(usb, hotplug);
        if (usb) libusb_exit(usb);
        if (wake_fd >= 0) ::close(wake_fd);
    }
};

namespace {

using watch_ref = std::shared_ptr<usb_watch>;

void notify(usb_watch &w) {
    std::lock_guard g(w.callback_lock);
    if (!w.stopped) w.callback(w.user);
}

int LIBUSB_CALL on_hotplug(libusb_context *, libusb_device *device, libusb_hotplug_event,
                           void *user) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(device, &d) == 0 && d.idProduct >= USBUNIV_PRODUCT_FIRST &&
        d.idProduct <= USBUNIV_PRODUCT_LAST)
        notify(*static_cast<usb_watch *>(user));
    return 0;  // stay registered
}

// libusb's udev monitor hears only what udevd relays: without udevd no event ever comes.
bool hotplug_delivered(usb_watch_mode mode) {
    if (mode == USB_WATCH_POLL || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return false;
    return mode == USB_WATCH_HOTPLUG || ::access("/run/udev/control", F_OK) == 0;
}

bool start_hotplug(usb_watch &w) {
    int r = libusb_init(&w.usb);
    if (r != 0) {
        w.usb = nullptr;
        log_error("USB arrival watch could not start libusb (%s)!\n", libusb_error_name(r));
        return false;
    }
    r = libusb_hotplug_register_callback(
        w.usb,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), USBUNIV_VENDOR, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, &w, &w.hotplug);
    if (r != 0) {
        log_error("USB arrival watch could not register for hotplug events (%s)!\n",
                  libusb_error_name(r));
        return false;
    }
    w.hotplug_registered = true;
    return true;
}

// The instruments attached now, as the listing names them.
std::string snapshot() {
    std::vector<char> out(static_cast<size_t>(USBUNIV_LIST_MAX) * COMM_CONN_STRING_SIZE, '\0');
    int count = 0;
    usbuniv_list_devices(0, out.data(), USBUNIV_LIST_MAX, &count, nullptr, nullptr, USBUNIV_VENDOR,
                         USBUNIV_VENDOR, USBUNIV_PRODUCT_FIRST, USBUNIV_PRODUCT_LAST);
    return std::string(out.data(), static_cast<size_t>(count) * COMM_CONN_STRING_SIZE);
}

void watch_hotplug(usb_watch &w) {
    log_write(LOG_CH_USBUNIV, "USB arrival watch is running on hotplug events.\n");
    while (w.run) {
        timeval slice{1, 0};
        libusb_handle_events_timeout_completed(w.usb, &slice, nullptr);
    }
}

void watch_polling(usb_watch &w) {
    log_write(LOG_CH_USBUNIV, "USB arrival watch is running, looking every %d ms.\n", w.poll_ms);
    while (w.run) {
        pollfd wake{w.wake_fd, POLLIN, 0};
        if (comm_poll(&wake, 1, w.poll_ms) != 0) break;  // woken, or poll failed
        std::string now = snapshot();
        if (now == w.listed) continue;
        w.listed = std::move(now);
        notify(w);
    }
}

void watch(usb_watch &w) {
    if (w.usb)
        watch_hotplug(w);
    else
        watch_polling(w);
    log_write(LOG_CH_USBUNIV, "USB arrival watch is going to shut down.\n");
}

watch_ref open_watch(const usb_event_reg_rec &record, comm_usb_event_cb callback, void *user) {
    auto w = std::make_shared<usb_watch>();
    w->callback = callback;
    w->user = user;
    w->poll_ms = record.poll_ms > 0 ? record.poll_ms : USB_WATCH_POLL_MS;
    w->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w->wake_fd < 0) {
        log_error("USB arrival watch cannot start: no eventfd\n");
        return nullptr;
    }
    if (hotplug_delivered(record.mode)) return start_hotplug(*w) ? w : nullptr;
    // Taken before register returns, so that a device arriving right after it counts.
    w->listed = snapshot();
    return w;
}

// Under record.lock.
void stop(usb_event_reg_rec &record) {
    if (!record.running) return;
    usb_watch &w = *record.running;
    w.run = false;
    if (w.usb) libusb_interrupt_event_handler(w.usb);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(w.wake_fd, &one, sizeof one);
    {
        std::lock_guard g(w.callback_lock);  // waits for a callback under way
        w.stopped = true;
    }
    thread_join(&record.thread);
    record.running.reset();
}

// The library's one watch. Never destroyed: it may hold a thread until the library stops it,
// and a destructor at exit would meet that thread still joinable.
usb_event_reg_rec &library_watch() {
    static auto *record = new usb_event_reg_rec;
    return *record;
}

}  // namespace

int usb_register(usb_event_reg_rec *record, comm_usb_event_cb callback, void *user) {
    if (!record || !callback) return -1;
    std::lock_guard g(record->lock);
    stop(*record);
    watch_ref w = open_watch(*record, callback, user);
    if (!w) return -1;
    if (thread_create_sharing(&record->thread, w, watch) != 0) {
        log_error("USB arrival watch thread cannot start\n");
        return -1;
    }
    record->running = std::move(w);
    return 0;
}

int usb_deregister(usb_event_reg_rec *record) {
    if (!record) return 0;
    std::lock_guard g(record->lock);
    stop(*record);
    return 0;
}

int comm_usb_register(comm_usb_event_cb callback, void *user) {
    if (!comm_current_table()) return -1;
    return usb_register(&library_watch(), callback, user);
}

int comm_usb_deregister() {
    return usb_deregister(&library_watch());
}
