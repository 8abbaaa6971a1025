// Bluetooth availability and device inquiry through BlueZ's D-Bus interface, on a thread of
// its own: the adapter discovers for the inquiry length while the thread turns BlueZ's device
// objects into results.
#include <sys/eventfd.h>
#include <unistd.h>

#include <strings.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "bluetooth.h"
#include "bluetooth_bus.h"
#include "conn_string.h"
#include "instrument_ids.h"
#include "log.h"
#include "poll_wait.h"
#include "thread.h"

namespace {

constexpr int kDefaultInquiryMs = 10 * 1280;  // ten inquiry units of 1.28 s
constexpr auto kWaitJoin = std::chrono::seconds(5);
constexpr int kConnectTimeoutMs = 60000;

std::atomic<int> inquiry_ms{kDefaultInquiryMs};

// One inquiry, shared by its thread and the caller's side. A cancel lets the thread go without
// waiting for it (it may sit in a BlueZ call for seconds), so the thread holds its own reference
// and touches nothing else of the caller's.
//
// Threads: the fields set by discover (cancel_fd, filter, callback, user) are written before the
// thread starts. The thread learns of a cancel through `cancel` and `cancel_fd`. `ended`,
// `count`, `results` and `overflow_logged` are guarded by `deliver_lock`, which every callback
// runs under: once `ended` is set no result is added and no callback starts. `done` says, under
// `done_lock`, that the thread is past its last look at the record.
struct inquiry_run {
    int cancel_fd = -1;
    std::atomic<bool> cancel{false};
    int class_filter = 0;
    comm_bt_result_cb callback = nullptr;
    void *user = nullptr;

    std::mutex deliver_lock;
    bool ended = false;
    int count = 0;
    comm_bt_inquiry_result_t results[BT_MAX_RESULTS] = {};
    bool overflow_logged = false;

    std::mutex done_lock;
    std::condition_variable done_cond;
    bool done = false;

    ~inquiry_run() {
        if (cancel_fd >= 0) ::close(cancel_fd);
    }
};
using run_ref = std::shared_ptr<inquiry_run>;

// Ends what the caller hears of an inquiry: unless it has ended already, `tell` gives the
// callback its final call (flag 1). Once this returns no callback runs and none will start.
void end_delivery(inquiry_run &r, bool tell) {
    std::lock_guard g(r.deliver_lock);
    if (r.ended) return;
    r.ended = true;
    if (tell && r.callback) r.callback(r.results, r.count, 1, r.user);
}

// Wakes the thread and lets it finish on its own.
void let_go(inquiry_run &r) {
    r.cancel = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(r.cancel_fd, &one, sizeof one);
}

bool is_done(inquiry_run &r) {
    std::lock_guard g(r.done_lock);
    return r.done;
}

// The latest inquiry, reused by every discovery; `control` serialises discover, cancel and wait
// and guards the other fields.
struct inquiry_rec {
    std::mutex control;
    thread_t thread;
    run_ref run;

    // At exit an inquiry thread may still sit in a BlueZ call: exit does not wait for it, since
    // it touches only its own record and its own bus, and the process ends it. Its callback is
    // stopped without a final call, as the caller's objects may be gone by now.
    ~inquiry_rec() {
        std::lock_guard g(control);
        if (!run) return;
        end_delivery(*run, false);
        let_go(*run);
        thread_join_within(&thread, 0);
    }
};
inquiry_rec inquiry;

struct device_props {
    std::string address;
    std::string name;
    uint32_t class_of_device = 0;
    int rssi = 0;
    bool has_rssi = false;
};

// Reads a Device1 property dictionary.
int read_device(sd_bus_message *m, device_props *d) {
    return bt_bus_read_props(m, [d](const char *key, sd_bus_message *v) {
        const char *text = nullptr;
        int16_t rssi = 0;
        if (std::strcmp(key, "Class") == 0)
            return sd_bus_message_read(v, "v", "u", &d->class_of_device) >= 0;
        if (std::strcmp(key, "RSSI") == 0) {
            d->has_rssi = sd_bus_message_read(v, "v", "n", &rssi) >= 0;
            d->rssi = rssi;
            return d->has_rssi;
        }
        std::string *field = std::strcmp(key, "Address") == 0 ? &d->address
                             : std::strcmp(key, "Name") == 0  ? &d->name
                                                              : nullptr;
        if (!field || sd_bus_message_read(v, "v", "s", &text) < 0) return false;
        *field = text;
        return true;
    });
}

void copy_text(char *field, size_t size, const std::string &text) {
    std::snprintf(field, size, "%s", text.c_str());
}

// The index of the result for the device: a listed device is updated (class when non-zero, name
// when given); a new one must have a class, match the filter when one is set, and find room.
// -1 when it is refused.
int add_result(inquiry_run &q, const device_props &d) {
    for (int i = 0; i < q.count; ++i) {
        comm_bt_inquiry_result_t &r = q.results[i];
        if (strcasecmp(r.address, d.address.c_str()) != 0) continue;
        if (d.class_of_device) r.class_of_device = static_cast<int>(d.class_of_device);
        if (!d.name.empty()) copy_text(r.name, sizeof r.name, d.name);
        if (d.has_rssi) r.rssi = d.rssi;
        return i;
    }
    int cls = static_cast<int>(d.class_of_device);
    if (d.address.empty() || cls == 0 || (q.class_filter && cls != q.class_filter)) return -1;
    // The result array is fixed and callers read it whole. Past 255 devices the first ones found
    // are kept (and still updated) and latecomers are dropped, with one log line: more than 255
    // matching instruments in radio range is not a situation the field has.
    if (q.count == BT_MAX_RESULTS) {
        if (!q.overflow_logged)
            log_write(LOG_CH_BT, "NetBT inquiry: only the first %d devices are kept\n",
                      BT_MAX_RESULTS);
        q.overflow_logged = true;
        return -1;
    }
    comm_bt_inquiry_result_t &r = q.results[q.count];
    r = {};
    copy_text(r.address, sizeof r.address, d.address);
    copy_text(r.name, sizeof r.name, d.name);
    r.class_of_device = cls;
    r.rssi = d.has_rssi ? d.rssi : 0;
    return q.count++;
}

// One inquiry on the inquiry thread: its bus, its adapter, and the device objects BlueZ has
// reported since the last look.
struct scan {
    inquiry_run &q;
    sd_bus *bus;
    std::string devices_prefix;  // "<adapter path>/"
    std::set<std::string> heard;

    bool ours(const char *path) const {
        return path && std::strncmp(path, devices_prefix.c_str(), devices_prefix.size()) == 0;
    }
    void consider(const device_props &d) {
        std::lock_guard g(q.deliver_lock);
        if (q.ended) return;
        if (add_result(q, d) >= 0 && q.callback) q.callback(q.results, q.count, 0, q.user);
    }
};

// A device object that BlueZ adds or changes during the inquiry has been heard from.
int on_interfaces_added(sd_bus_message *m, void *userdata, sd_bus_error *) {
    auto *s = static_cast<scan *>(userdata);
    const char *path = nullptr;
    if (sd_bus_message_read(m, "o", &path) >= 0 && s->ours(path)) s->heard.insert(path);
    return 0;
}

int on_properties_changed(sd_bus_message *m, void *userdata, sd_bus_error *) {
    auto *s = static_cast<scan *>(userdata);
    const char *iface = nullptr;
    const char *path = sd_bus_message_get_path(m);
    if (s->ours(path) && sd_bus_message_read(m, "s", &iface) >= 0 &&
        std::strcmp(iface, BT_DEVICE_IFACE) == 0)
        s->heard.insert(path);
    return 0;
}

// Reads the whole of each device heard from, since a change carries only what changed.
void refresh_heard(scan &s) {
    std::set<std::string> heard;
    heard.swap(s.heard);
    for (const std::string &path : heard) {
        if (s.q.cancel) return;  // each call may take seconds with a slow BlueZ
        bt_error_scope e;
        sd_bus_message *reply = nullptr;
        if (sd_bus_call_method(s.bus, BT_BLUEZ, path.c_str(), "org.freedesktop.DBus.Properties",
                               "GetAll", &e.error, &reply, "s", BT_DEVICE_IFACE) < 0)
            continue;  // gone again
        bt_message_ref owned(reply);
        device_props d;
        if (read_device(reply, &d) >= 0) s.consider(d);
    }
}

// Devices BlueZ knows from before. Only those with a signal strength count: BlueZ keeps paired
// and earlier devices without one, and those need not be in range now. They count once heard.
void take_cached(scan &s) {
    bt_bus_read_objects(s.bus, [&](const char *path, const char *iface, sd_bus_message *m) {
        if (!s.ours(path) || std::strcmp(iface, BT_DEVICE_IFACE) != 0) return false;
        device_props d;
        int r = read_device(m, &d);
        if (r >= 0 && d.has_rssi) s.consider(d);
        return r >= 0;
    });
}

bool start_discovery(scan &s, const std::string &adapter) {
    if (sd_bus_match_signal(s.bus, nullptr, BT_BLUEZ, nullptr, "org.freedesktop.DBus.ObjectManager",
                            "InterfacesAdded", on_interfaces_added, &s) < 0 ||
        sd_bus_match_signal(s.bus, nullptr, BT_BLUEZ, nullptr, "org.freedesktop.DBus.Properties",
                            "PropertiesChanged", on_properties_changed, &s) < 0)
        return false;
    bt_error_scope filter;
    // Instruments speak classic RFCOMM: low-energy advertisers are left out.
    if (sd_bus_call_method(s.bus, BT_BLUEZ, adapter.c_str(), BT_ADAPTER_IFACE, "SetDiscoveryFilter",
                           &filter.error, nullptr, "a{sv}", 1, "Transport", "s", "bredr") < 0)
        log_write(LOG_CH_BT, "NetBT discovery filter refused: %s\n", filter.text());
    bt_error_scope e;
    if (sd_bus_call_method(s.bus, BT_BLUEZ, adapter.c_str(), BT_ADAPTER_IFACE, "StartDiscovery",
                           &e.error, nullptr, "") < 0) {
        log_error("NetBT inquiry could not start: %s\n", e.text());
        return false;
    }
    return true;
}

int ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Handles what BlueZ sends until the inquiry length has passed or a cancel comes.
void listen(scan &s, int cancel_fd) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(inquiry_ms.load());
    while (!s.q.cancel) {
        int r;
        while ((r = sd_bus_process(s.bus, nullptr)) > 0) {
        }
        if (r < 0) return;
        if (!s.heard.empty()) {
            refresh_heard(s);  // its calls may queue more signals: process again before polling
            continue;
        }
        int left = ms_left(deadline);
        if (left == 0) return;
        int events = sd_bus_get_events(s.bus);
        pollfd fds[2] = {{sd_bus_get_fd(s.bus), static_cast<short>(events < 0 ? 0 : events), 0},
                         {cancel_fd, POLLIN, 0}};
        if (comm_poll(fds, 2, left) < 0 || comm_woken(fds[1])) return;
    }
}

void run_inquiry(inquiry_run &q) {
    bt_bus_ref bus = bt_bus_open();
    std::string adapter = bt_bus_powered_adapter(bus.get());
    if (adapter.empty()) {
        log_write(LOG_CH_BT, "NetBT inquiry: no Bluetooth adapter\n");
        return;
    }
    scan s{q, bus.get(), adapter + "/", {}};
    if (!start_discovery(s, adapter)) return;
    take_cached(s);
    listen(s, q.cancel_fd);
    bt_error_scope e;
    sd_bus_call_method(s.bus, BT_BLUEZ, adapter.c_str(), BT_ADAPTER_IFACE, "StopDiscovery",
                       &e.error, nullptr, "");
}

void inquiry_thread_proc(inquiry_run &q) {
    run_inquiry(q);
    end_delivery(q, true);
    std::lock_guard g(q.done_lock);
    q.done = true;
    q.done_cond.notify_all();
}

}  // namespace

int bt_ms_set_inquiry_ms(int ms) {
    return inquiry_ms.exchange(ms);
}

int bt_ms_adapter_available() {
    bt_bus_ref bus = bt_bus_open();
    return bt_bus_powered_adapter(bus.get()).empty() ? 0 : 1;
}

int comm_bt_is_available() {
    return bt_ms_adapter_available();
}

// The result callback gets flag 0 for each result and flag 1 once, when the inquiry has ended,
// so that a caller can tell a growing list from the final one.
int comm_bt_discover(comm_bt_result_cb callback, int class_filter, void *user) {
    inquiry_rec &q = inquiry;
    std::lock_guard g(q.control);
    if (q.run && !q.run->cancel && !is_done(*q.run)) {
        log_write(LOG_CH_BT, "NetBT inquiry already running\n");
        return -1;
    }
    // A cancelled inquiry may still be finishing a BlueZ call: it goes on with its own record.
    thread_join_within(&q.thread, 0);
    auto run = std::make_shared<inquiry_run>();
    run->cancel_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (run->cancel_fd < 0) return -1;
    run->class_filter = class_filter;
    run->callback = callback;
    run->user = user;
    if (thread_create_sharing(&q.thread, run, inquiry_thread_proc) != 0) {
        log_error("NetBT inquiry thread cannot start\n");
        return -1;
    }
    q.run = std::move(run);
    return 0;
}

// Returns at once, whatever BlueZ is doing: the callback gets its final call (flag 1) here, on the
// cancelling thread, unless the inquiry has ended already, and no call follows once this returns.
// The thread finishes its BlueZ call and StopDiscovery on its own.
int comm_bt_discover_cancel() {
    inquiry_rec &q = inquiry;
    std::lock_guard g(q.control);
    if (!q.run) return 0;
    end_delivery(*q.run, true);
    let_go(*q.run);
    thread_join_within(&q.thread, 0);
    return 0;
}

// Waits at most 5 s for the inquiry to end, then writes the results of the last inquiry as
// connection strings of COMM_CONN_STRING_SIZE bytes each into `out`, which must hold 255 of them.
// An inquiry that is still running after the wait gives -1 and no results: they are never read
// while the inquiry thread may still write them, and the caller may wait again or cancel.
int comm_bt_discover_wait(char *out, int *count_out) {
    inquiry_rec &q = inquiry;
    if (count_out) *count_out = 0;
    if (!out || !count_out) return -1;
    run_ref run;
    {
        std::lock_guard g(q.control);
        run = q.run;
    }
    if (!run) return 0;
    {
        std::unique_lock l(run->done_lock);
        if (!run->done_cond.wait_for(l, kWaitJoin, [&] { return run->done; })) {
            log_write(LOG_CH_BT, "NetBT inquiry still running\n");
            return -1;
        }
    }
    std::lock_guard g(q.control);
    if (q.run != run) return -1;  // a new inquiry started meanwhile
    std::lock_guard d(run->deliver_lock);
    for (int i = 0; i < run->count; ++i) {
        const comm_bt_inquiry_result_t &r = run->results[i];
        char *line = out + static_cast<size_t>(i) * COMM_CONN_STRING_SIZE;
        comm_make_conn_string_bt(line, r.address, r.name, r.class_of_device, BT_INSTRUMENT_CHANNEL,
                                 BT_INSTRUMENT_PIN, kConnectTimeoutMs);
    }
    *count_out = run->count;
    return 0;
}
