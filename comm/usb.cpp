// USB transport over libusb. Each link has its own libusb context and an event thread that runs
// the transfer callbacks. One IN transfer of a whole block stays in flight; its completion (and a
// disconnect) writes an eventfd, so the reader's wait is a poll() that wakes at once for either.
#include "usb.h"

#include <libusb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "conn_string.h"
#include "conn_table.h"
#include "device_filter.h"
#include "log.h"
#include "poll_wait.h"

namespace {

constexpr int kMaxWait = 256;
constexpr int kEventSliceUs = 500000;  // the event thread looks at its stop flag this often
constexpr auto kCancelWait = std::chrono::seconds(2);

struct usbuniv_context {
    // Set before the reader starts.
    int conn_id = 0;
    int vid = 0;
    int pid = 0;
    char device[COMM_DEVICE_FIELD_MAX] = {};
    const usbuniv_backend *io = nullptr;
    int wake_fd = -1;  // eventfd; written by disconnect, never read
    int done_fd = -1;  // eventfd; written by the IN completion, emptied by the reader's wait

    // Opened by connect on the reader thread and released by free; writers use them only while
    // the link is connected.
    libusb_context *usb = nullptr;
    usbuniv_device dev;
    std::thread events;
    std::atomic<bool> events_run{false};
    std::vector<unsigned char> block;

    // The IN transfer and its outcome: the completion runs on the event thread.
    std::mutex in_lock;
    std::condition_variable in_idle;  // signalled when the transfer is no longer in flight
    libusb_transfer *in = nullptr;    // guarded by in_lock
    bool in_flight = false;           // guarded by in_lock
    bool in_ready = false;            // guarded by in_lock: a completion not yet taken
    int in_status = 0;                // guarded by in_lock
    int in_received = 0;              // guarded by in_lock

    std::atomic<bool> stop{false};  // set by disconnect

    // Reader only.
    bool broken = false;  // the link failed; every later wait reports the error
    int offset = 0;
    int unread = 0;
    int interest = 0;
    int result = 0;
};

usbuniv_context *ctx_of(void *context) {
    return static_cast<usbuniv_context *>(context);
}

std::atomic<const usbuniv_backend *> chosen_backend{&usbuniv_libusb};

void signal_fd(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void drain_fd(int fd) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

// ---- Naming devices without opening them ----

// The directory of a device under /sys/bus/usb/devices: "<bus>-<port>.<port>..."; empty for a
// root hub.
std::string sysfs_name(libusb_device *d) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(d, ports, sizeof ports);
    if (n <= 0) return {};
    std::string name = std::to_string(libusb_get_bus_number(d)) + "-";
    for (int i = 0; i < n; ++i)
        name += (i ? "." : "") + std::to_string(ports[i]);
    return name;
}

// The serial string the kernel read when the device arrived. Reading it needs no access to the
// device node and never disturbs a device another program holds. SYSFS_PATH moves /sys, as it
// does for udev.
std::string sysfs_serial(const std::string &name) {
    const char *root = std::getenv("SYSFS_PATH");
    std::ifstream file(std::string(root && *root ? root : "/sys") + "/bus/usb/devices/" + name +
                       "/serial");
    std::string serial;
    std::getline(file, serial);
    return serial.substr(0, USBUNIV_SERIAL_MAX);
}

// The serial the listing shows. A device without a serial string is named by its place on the
// bus, which stays the same while it stays plugged into the same port.
std::string listed_serial(libusb_device *d) {
    std::string name = sysfs_name(d);
    if (name.empty()) return {};
    std::string serial = sysfs_serial(name);
    return serial.empty() ? name : serial;
}

bool in_range(int id, int min, int max) {
    return (min == 0 && max == 0) || (id >= min && id <= max);
}

bool ids_of(libusb_device *d, int *vid, int *pid) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(d, &desc) != 0) return false;
    *vid = desc.idVendor;
    *pid = desc.idProduct;
    return true;
}

bool range_valid(int min, int max, const char *what) {
    if (min >= 0 && max <= 0xffff && min <= max) return true;
    log_error("USBUNIV %s id range %.4x..%.4x is empty!\n", what, static_cast<unsigned>(min),
              static_cast<unsigned>(max));
    return false;
}

bool filter_valid(const char *filter) {
    if (!filter || std::strlen(filter) <= static_cast<size_t>(USBUNIV_SERIAL_MAX)) return true;
    log_error("USBUNIV serial filter '%s' is longer than any serial (%d characters)!\n", filter,
              USBUNIV_SERIAL_MAX);
    return false;
}

// ---- The libusb backend ----

int find_bulk_endpoints(libusb_device *d, usbuniv_device *out) {
    libusb_config_descriptor *config = nullptr;
    int r = libusb_get_active_config_descriptor(d, &config);
    if (r != 0) return r;
    if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
        for (int i = 0; i < alt.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor &ep = alt.endpoint[i];
            if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                out->in_endpoint = ep.bEndpointAddress;
                out->in_packet = ep.wMaxPacketSize;
            } else {
                out->out_endpoint = ep.bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(config);
    return out->in_endpoint && out->out_endpoint ? 0 : LIBUSB_ERROR_NOT_SUPPORTED;
}

int claim(libusb_device *d, libusb_device_handle *h, usbuniv_device *out) {
    // Where the system cannot detach drivers this fails harmlessly; the claim then tells.
    libusb_set_auto_detach_kernel_driver(h, 1);
    int r = libusb_claim_interface(h, 0);
    if (r == 0) r = find_bulk_endpoints(d, out);
    if (r != 0) {
        libusb_release_interface(h, 0);
        libusb_close(h);
        return r;
    }
    out->handle = h;
    return 0;
}

int lib_open(libusb_context *c, int vid, int pid, const char *serial, usbuniv_device *out) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(c, &list);
    if (n < 0) return static_cast<int>(n);
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < n && !found; ++i) {
        int v = 0, p = 0;
        if (ids_of(list[i], &v, &p) && v == vid && p == pid && listed_serial(list[i]) == serial)
            found = libusb_ref_device(list[i]);
    }
    libusb_free_device_list(list, 1);
    if (!found) return LIBUSB_ERROR_NOT_FOUND;
    libusb_device_handle *h = nullptr;
    int r = libusb_open(found, &h);
    if (r == 0) r = claim(found, h, out);
    libusb_unref_device(found);
    return r;
}

void lib_close(usbuniv_device *d) {
    libusb_release_interface(d->handle, 0);
    libusb_close(d->handle);
    d->handle = nullptr;
}

int lib_bulk(libusb_device_handle *h, unsigned char endpoint, unsigned char *data, int length,
             int *transferred, unsigned timeout_ms) {
    return libusb_bulk_transfer(h, endpoint, data, length, transferred, timeout_ms);
}

// ---- The link ----

void on_in_done(libusb_transfer *t) {
    auto *ctx = static_cast<usbuniv_context *>(t->user_data);
    {
        std::lock_guard g(ctx->in_lock);
        ctx->in_flight = false;
        ctx->in_ready = true;
        ctx->in_status = t->status;
        ctx->in_received = t->actual_length;
    }
    ctx->in_idle.notify_all();
    signal_fd(ctx->done_fd);
}

void LIBUSB_CALL in_callback(libusb_transfer *t) {
    on_in_done(t);
}

int submit_in(usbuniv_context &ctx) {
    std::lock_guard g(ctx.in_lock);
    ctx.in_flight = true;
    int r = ctx.io->submit_transfer(ctx.in);
    if (r != 0) ctx.in_flight = false;
    return r;
}

void log_gone(const usbuniv_context &ctx) {
    log_error("USBUNIV device '%s' is gone (unplugged or switched off)!\n", ctx.device);
}

void log_open_error(const usbuniv_context &ctx, int r) {
    switch (r) {
        case LIBUSB_ERROR_ACCESS:
            log_error(
                "USBUNIV no permission to open device '%s' (%.4x:%.4x): install the udev "
                "rule %s (lib/udev/rules.d) and plug the instrument in again!\n",
                ctx.device, static_cast<unsigned>(ctx.vid), static_cast<unsigned>(ctx.pid),
                USBUNIV_UDEV_RULE);
            break;
        case LIBUSB_ERROR_NOT_FOUND:
        case LIBUSB_ERROR_NO_DEVICE:
            log_error("USBUNIV device '%s' (%.4x:%.4x) is not attached!\n", ctx.device,
                      static_cast<unsigned>(ctx.vid), static_cast<unsigned>(ctx.pid));
            break;
        case LIBUSB_ERROR_BUSY:
            log_error("USBUNIV device '%s' is busy: another program holds its interface 0!\n",
                      ctx.device);
            break;
        case LIBUSB_ERROR_NOT_SUPPORTED:
            log_error(
                "USBUNIV could not set device '%s'! interface 0 lacks a bulk IN or OUT "
                "endpoint\n",
                ctx.device);
            break;
        default:
            log_error("USBUNIV device opening error (%s)!\n", libusb_error_name(r));
    }
}

// An IN length the device cannot overrun: a whole number of its packets.
int block_length(int packet) {
    if (packet <= 0 || packet > USBUNIV_READ_BLOCK) return USBUNIV_READ_BLOCK;
    return USBUNIV_READ_BLOCK - USBUNIV_READ_BLOCK % packet;
}

void run_events(usbuniv_context *ctx) {
    while (ctx->events_run) {
        timeval slice{0, kEventSliceUs};
        ctx->io->handle_events(ctx->usb, &slice, nullptr);
    }
}

// Cancels the IN transfer and waits for its callback, which still needs the event thread. Gives
// the transfer to free, or null when there is none or its callback never came (libusb may still
// write it then).
libusb_transfer *settle_in(usbuniv_context &ctx) {
    std::unique_lock g(ctx.in_lock);
    libusb_transfer *t = std::exchange(ctx.in, nullptr);
    if (!t) return nullptr;
    if (ctx.in_flight) ctx.io->cancel_transfer(t);
    if (ctx.in_idle.wait_for(g, kCancelWait, [&] { return !ctx.in_flight; })) return t;
    log_error("USBUNIV transfer of device '%s' could not be cancelled!\n", ctx.device);
    return nullptr;
}

// Undoes connect in reverse: transfer, event thread, device, libusb.
void teardown(usbuniv_context &ctx) {
    libusb_transfer *t = settle_in(ctx);
    if (ctx.events.joinable()) {
        ctx.events_run = false;
        ctx.io->interrupt_events(ctx.usb);
        ctx.events.join();
    }
    libusb_free_transfer(t);
    if (ctx.dev.handle) ctx.io->close(&ctx.dev);
    if (ctx.usb) ctx.io->exit(ctx.usb);
    ctx.usb = nullptr;
}

int start_reading(usbuniv_context &ctx) {
    ctx.block.assign(static_cast<size_t>(block_length(ctx.dev.in_packet)), 0);
    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t) return LIBUSB_ERROR_NO_MEM;
    libusb_fill_bulk_transfer(t, ctx.dev.handle, ctx.dev.in_endpoint, ctx.block.data(),
                              static_cast<int>(ctx.block.size()), in_callback, &ctx, 0);
    {
        std::lock_guard g(ctx.in_lock);
        ctx.in = t;
    }
    return submit_in(ctx);
}

// Takes a finished IN transfer: READ with its bytes, 0 when it carried none and was sent again,
// ERROR when the link is over.
int take_completion(usbuniv_context &ctx) {
    int status = 0, received = 0;
    {
        std::lock_guard g(ctx.in_lock);
        if (!ctx.in_ready) return 0;
        ctx.in_ready = false;
        status = ctx.in_status;
        received = ctx.in_received;
    }
    if (status == LIBUSB_TRANSFER_COMPLETED && received > 0) {
        ctx.offset = 0;
        ctx.unread = received;
        return COMM_WAIT_READ;
    }
    if (status == LIBUSB_TRANSFER_COMPLETED) {
        int r = submit_in(ctx);
        if (r == 0) return 0;
        status = r == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE : LIBUSB_TRANSFER_ERROR;
    }
    if (status == LIBUSB_TRANSFER_NO_DEVICE)
        log_gone(ctx);
    else if (status != LIBUSB_TRANSFER_CANCELLED)
        log_error("USBUNIV error reading data from device '%s'! (%s)\n", ctx.device,
                  libusb_error_name(status == LIBUSB_TRANSFER_OVERFLOW ? LIBUSB_ERROR_OVERFLOW
                                                                       : LIBUSB_ERROR_IO));
    ctx.broken = true;
    return COMM_WAIT_ERROR;
}

int readiness(usbuniv_context &ctx) {
    if (ctx.stop || ctx.broken) return COMM_WAIT_ERROR;
    int ready = ctx.interest & COMM_WAIT_WRITE;  // the bus takes writes at any time
    if (!(ctx.interest & COMM_WAIT_READ)) return ready;
    if (ctx.unread > 0) return ready | COMM_WAIT_READ;
    int taken = take_completion(ctx);
    return taken == COMM_WAIT_ERROR ? taken : ready | taken;
}

// Sets every context's result; true when one is ready.
bool scan(void **contexts, int count) {
    bool any = false;
    for (int i = 0; i < count; ++i) {
        usbuniv_context *ctx = ctx_of(contexts[i]);
        drain_fd(ctx->done_fd);  // before looking, so a completion after the look still wakes
        ctx->result = readiness(*ctx);
        any = any || ctx->result != 0;
    }
    if (any)
        for (int i = 0; i < count; ++i)
            if (!ctx_of(contexts[i])->result) ctx_of(contexts[i])->result = COMM_WAIT_TIMEOUT;
    return any;
}

}  // namespace

const usbuniv_backend usbuniv_libusb = {
    .init = libusb_init,
    .exit = libusb_exit,
    .open = lib_open,
    .close = lib_close,
    .submit_transfer = libusb_submit_transfer,
    .cancel_transfer = libusb_cancel_transfer,
    .bulk_transfer = lib_bulk,
    .handle_events = libusb_handle_events_timeout_completed,
    .interrupt_events = libusb_interrupt_event_handler,
};

constexpr comm_transport_ops usbuniv_ops = {
    .name = "USBU",
    .init = usbuniv_init,
    .free = usbuniv_free,
    .connect = usbuniv_connect,
    .disconnect = usbuniv_disconnect,
    .read = usbuniv_read,
    .write = usbuniv_write,
    .waitget = usbuniv_waitget,
    .waitset = usbuniv_waitset,
    .waitfor = usbuniv_waitfor,
};
static_assert(comm_transport_complete(usbuniv_ops));

void usbuniv_set_backend(const usbuniv_backend *backend) {
    chosen_backend = backend ? backend : &usbuniv_libusb;
}

int usbuniv_set_params(void *context, int conn_id, int vid, int pid, const char *device) {
    usbuniv_context *ctx = ctx_of(context);
    if (!ctx || !device) return -1;
    ctx->conn_id = conn_id;
    ctx->vid = vid;
    ctx->pid = pid;
    std::snprintf(ctx->device, sizeof ctx->device, "%s", device);
    return 0;
}

int usbuniv_init(void **context_out) {
    if (!context_out) return -1;
    auto *ctx = new usbuniv_context;
    ctx->io = chosen_backend;
    ctx->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ctx->done_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ctx->wake_fd < 0 || ctx->done_fd < 0) {
        usbuniv_free(reinterpret_cast<void **>(&ctx));
        return -1;
    }
    *context_out = ctx;
    return 0;
}

int usbuniv_free(void **context) {
    if (!context || !*context) return 0;
    usbuniv_context *ctx = ctx_of(*context);
    teardown(*ctx);
    if (ctx->wake_fd >= 0) ::close(ctx->wake_fd);
    if (ctx->done_fd >= 0) ::close(ctx->done_fd);
    delete ctx;
    *context = nullptr;
    return 0;
}

int usbuniv_connect(void *context) {
    usbuniv_context *ctx = ctx_of(context);
    if (!ctx) return -1;
    int r = ctx->io->init(&ctx->usb);
    if (r != 0) {
        log_error("USBUNIV could not start libusb (%s)!\n", libusb_error_name(r));
        ctx->usb = nullptr;
        return -1;
    }
    log_write(LOG_CH_USBUNIV, "USBUNIV opening device '%s' at '%.4x:%.4x'...\n", ctx->device,
              static_cast<unsigned>(ctx->vid), static_cast<unsigned>(ctx->pid));
    r = ctx->io->open(ctx->usb, ctx->vid, ctx->pid, ctx->device, &ctx->dev);
    if (r != 0) {
        log_open_error(*ctx, r);
        ctx->dev.handle = nullptr;
        teardown(*ctx);
        return -1;
    }
    ctx->events_run = true;
    ctx->events = std::thread(run_events, ctx);
    r = start_reading(*ctx);
    if (r != 0) {
        log_error("USBUNIV error reading data! (%s)\n", libusb_error_name(r));
        teardown(*ctx);
        return -1;
    }
    log_write(LOG_CH_USBUNIV, "USBUNIV device opened.\n");
    return 0;
}

// Wakes the reader at once; the cancelled transfer ends on the event thread.
int usbuniv_disconnect(void *context) {
    usbuniv_context *ctx = ctx_of(context);
    if (!ctx) return 0;
    ctx->stop = true;
    signal_fd(ctx->wake_fd);
    std::lock_guard g(ctx->in_lock);
    if (ctx->in_flight) ctx->io->cancel_transfer(ctx->in);
    return 0;
}

// Hands out the block the last IN transfer brought; once it is used up the next transfer starts.
int usbuniv_read(void *context, char *buffer, int *size_in_out) {
    usbuniv_context *ctx = ctx_of(context);
    if (!ctx || !ctx->dev.handle || !buffer || !size_in_out || *size_in_out <= 0) return -1;
    int n = std::min(*size_in_out, ctx->unread);
    std::memcpy(buffer, ctx->block.data() + ctx->offset, static_cast<size_t>(n));
    ctx->offset += n;
    ctx->unread -= n;
    *size_in_out = n;
    if (n > 0 && ctx->unread == 0 && !ctx->stop) {
        int r = submit_in(*ctx);
        if (r != 0) {
            // What came is handed over; the next wait reports the end.
            if (r == LIBUSB_ERROR_NO_DEVICE)
                log_gone(*ctx);
            else
                log_error("USBUNIV error reading data! (%s)\n", libusb_error_name(r));
            ctx->broken = true;
        }
    }
    return 0;
}

// A write that the device has not taken whole within the time-out fails and counts nothing as
// written. The packets it did take cannot be called back; the instrument drops the broken frame
// by its checks. libusb ends its own transfer before returning, so nothing is left pending.
int usbuniv_write(void *context, const char *data, int length, int *written_out, int timeout_ms) {
    usbuniv_context *ctx = ctx_of(context);
    if (written_out) *written_out = 0;
    if (!ctx || !ctx->dev.handle) return -1;
    if (length == 0) return 0;
    if (!data || length < 0) return -1;
    unsigned limit = timeout_ms > 0 ? static_cast<unsigned>(timeout_ms) : USBUNIV_WRITE_TIMEOUT_MS;
    int done = 0;
    int r = ctx->io->bulk_transfer(ctx->dev.handle, ctx->dev.out_endpoint,
                                   reinterpret_cast<unsigned char *>(const_cast<char *>(data)),
                                   length, &done, limit);
    if (r == 0 && done == length) {
        if (written_out) *written_out = length;
        return 0;
    }
    if (r == LIBUSB_ERROR_NO_DEVICE)
        log_gone(*ctx);
    else if (r == LIBUSB_ERROR_TIMEOUT)
        log_error("USBUNIV write timeout on device '%s': %d of %d bytes taken\n", ctx->device, done,
                  length);
    else
        log_error("USBUNIV error writting data to device '%s'! (%s)\n", ctx->device,
                  libusb_error_name(r));
    return -1;
}

int usbuniv_waitget(void *context, int mask, int *subcode_out) {
    return comm_context_waitget(ctx_of(context), mask, subcode_out);
}

int usbuniv_waitset(void *context, int interest) {
    return comm_context_waitset(ctx_of(context), interest);
}

// A time-out of 0 waits without limit.
int usbuniv_waitfor(void **contexts, int count, int timeout_ms) {
    if (!contexts || count < 1 || count > kMaxWait) return -1;
    std::vector<pollfd> fds;
    for (int i = 0; i < count; ++i) {
        usbuniv_context *ctx = ctx_of(contexts[i]);
        if (!ctx || !ctx->dev.handle) return -1;
        fds.push_back({ctx->wake_fd, POLLIN, 0});
        fds.push_back({ctx->done_fd, POLLIN, 0});
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!scan(contexts, count)) {
        int left = -1;
        if (timeout_ms > 0) {
            auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            left = static_cast<int>(std::max<int64_t>(rest.count(), 0));
        }
        if (left == 0) {
            for (int i = 0; i < count; ++i)
                ctx_of(contexts[i])->result = COMM_WAIT_TIMEOUT;
            return 0;
        }
        if (comm_poll(fds.data(), fds.size(), left) < 0) return -1;
    }
    return 0;
}

int usbuniv_list_devices(int, char *out, int max, int *count_out, const char *,
                         const char *serial_filter, int vid_min, int vid_max, int pid_min,
                         int pid_max) {
    if (count_out) *count_out = 0;
    if (max < 0 || (max > 0 && !out)) {
        log_error("USBUNIV listing has no room for its entries!\n");
        return -1;
    }
    if (!range_valid(vid_min, vid_max, "vendor") || !range_valid(pid_min, pid_max, "product") ||
        !filter_valid(serial_filter))
        return -1;
    libusb_context *c = nullptr;
    libusb_device **list = nullptr;
    int r = libusb_init(&c);
    ssize_t n = r == 0 ? libusb_get_device_list(c, &list) : r;
    if (n < 0) {
        log_error("USBUNIV could not list USB devices (%s)!\n",
                  libusb_error_name(static_cast<int>(n)));
        if (r == 0) libusb_exit(c);
        return -1;
    }
    int count = 0;
    for (ssize_t i = 0; i < n && i < USBUNIV_LIST_MAX && count < max; ++i) {
        int vid = 0, pid = 0;
        if (!ids_of(list[i], &vid, &pid) || !in_range(vid, vid_min, vid_max) ||
            !in_range(pid, pid_min, pid_max))
            continue;
        std::string serial = listed_serial(list[i]);
        // A serial with "/" would not survive the connection string.
        if (serial.empty() || serial.find('/') != std::string::npos ||
            !comm_filter_matches(serial.c_str(), serial_filter))
            continue;
        std::snprintf(out + static_cast<size_t>(count) * COMM_CONN_STRING_SIZE,
                      COMM_CONN_STRING_SIZE, "USBU/%s/%.4x/%.4x", serial.c_str(),
                      static_cast<unsigned>(vid), static_cast<unsigned>(pid));
        ++count;
    }
    libusb_free_device_list(list, 1);
    libusb_exit(c);
    if (count_out) *count_out = count;
    return 0;
}

int comm_list_devices_usb(int reserved, char *out, int max, int *count_out,
                          const char *description_filter, const char *serial_filter, int vid_min,
                          int vid_max, int pid_min, int pid_max) {
    if (count_out) *count_out = 0;
    if (!comm_current_table()) return -1;
    return usbuniv_list_devices(reserved, out, max, count_out, description_filter, serial_filter,
                                vid_min, vid_max, pid_min, pid_max);
}
