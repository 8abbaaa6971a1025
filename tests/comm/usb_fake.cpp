#include "usb_fake.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

usb_fake &f = usb_fake_device();

int fake_init(libusb_context **context) {
    *context = reinterpret_cast<libusb_context *>(&f);
    return 0;
}

void fake_exit(libusb_context *) {}

int fake_open(libusb_context *, int vid, int pid, const char *serial, usbuniv_device *out) {
    std::lock_guard g(f.lock);
    if (f.open_result) return f.open_result;
    if (vid != 0x1781 || pid != 0x0c45 || f.serial != serial) return LIBUSB_ERROR_NOT_FOUND;
    out->handle = reinterpret_cast<libusb_device_handle *>(&f);
    out->in_endpoint = 0x81;
    out->out_endpoint = 0x02;
    out->in_packet = 64;
    return 0;
}

void fake_close(usbuniv_device *device) {
    std::lock_guard g(f.lock);
    ++f.closed;
    device->handle = nullptr;
}

int fake_submit(libusb_transfer *t) {
    std::lock_guard g(f.lock);
    if (!f.present) return LIBUSB_ERROR_NO_DEVICE;
    f.pending = t;
    f.cancelling = false;
    f.changed.notify_all();
    return 0;
}

int fake_cancel(libusb_transfer *t) {
    std::lock_guard g(f.lock);
    if (f.pending != t) return LIBUSB_ERROR_NOT_FOUND;
    f.cancelling = true;
    f.changed.notify_all();
    return 0;
}

int fake_bulk(libusb_device_handle *, unsigned char endpoint, unsigned char *data, int length,
              int *transferred, unsigned) {
    std::function<void(const std::string &)> forward;
    std::string bytes(reinterpret_cast<char *>(data), static_cast<size_t>(length));
    {
        std::lock_guard g(f.lock);
        *transferred = 0;
        if (!f.present) return LIBUSB_ERROR_NO_DEVICE;
        if (endpoint != 0x02) return LIBUSB_ERROR_PIPE;
        if (f.write_times_out) {
            *transferred = length / 2;  // some packets went, the rest never did
            return LIBUSB_ERROR_TIMEOUT;
        }
        f.from_host += bytes;
        *transferred = length;
        forward = f.on_write;
    }
    if (forward) forward(bytes);
    return 0;
}

// Ends the IN transfer as libusb would; under f.lock.
libusb_transfer *finish_in() {
    libusb_transfer *t = std::exchange(f.pending, nullptr);
    t->actual_length = 0;
    if (f.cancelling) {
        t->status = LIBUSB_TRANSFER_CANCELLED;
    } else if (!f.present) {
        t->status = LIBUSB_TRANSFER_NO_DEVICE;
    } else {
        size_t n = std::min(f.to_host.size(), static_cast<size_t>(t->length));
        std::memcpy(t->buffer, f.to_host.data(), n);
        f.to_host.erase(0, n);
        t->actual_length = static_cast<int>(n);
        t->status = LIBUSB_TRANSFER_COMPLETED;
    }
    f.cancelling = false;
    return t;
}

int fake_events(libusb_context *, timeval *timeout, int *) {
    auto span = std::chrono::seconds(timeout->tv_sec) + std::chrono::microseconds(timeout->tv_usec);
    std::unique_lock g(f.lock);
    auto due = [] { return f.pending && (f.cancelling || !f.present || !f.to_host.empty()); };
    f.changed.wait_for(g, span, [&] { return f.interrupted || due(); });
    f.interrupted = false;
    if (!due()) return 0;
    libusb_transfer *t = finish_in();
    g.unlock();
    t->callback(t);
    return 0;
}

void fake_interrupt(libusb_context *) {
    std::lock_guard g(f.lock);
    f.interrupted = true;
    f.changed.notify_all();
}

}  // namespace

usb_fake &usb_fake_device() {
    static usb_fake device;
    return device;
}

const usbuniv_backend usb_fake_backend = {
    .init = fake_init,
    .exit = fake_exit,
    .open = fake_open,
    .close = fake_close,
    .submit_transfer = fake_submit,
    .cancel_transfer = fake_cancel,
    .bulk_transfer = fake_bulk,
    .handle_events = fake_events,
    .interrupt_events = fake_interrupt,
};

void usb_fake::reset() {
    std::lock_guard g(lock);
    serial = "M30USB01";
    open_result = 0;
    present = true;
    write_times_out = false;
    to_host.clear();
    from_host.clear();
    on_write = nullptr;
    closed = 0;
}

void usb_fake::send(const std::string &bytes) {
    std::lock_guard g(lock);
    to_host += bytes;
    changed.notify_all();
}

void usb_fake::unplug() {
    std::lock_guard g(lock);
    present = false;
    changed.notify_all();
}

bool usb_fake::reading() {
    std::lock_guard g(lock);
    return pending != nullptr;
}
