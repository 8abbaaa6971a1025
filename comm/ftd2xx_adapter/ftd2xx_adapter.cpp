// The D2XX entry points the FTDI transport uses, over libftdi1, for machines without FTDI's own
// library. libftdi1 has no receive queue, status query or event notification, so every open
// device has a reader thread that drains the chip into a buffer and signals the caller's event.
//
// ftdi.h stays in this file: it defines NONE, ODD, EVEN, MARK and SPACE globally.
#include <ftdi.h>
#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "comm/d2xx.h"

#define FT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace d2xx;

// One USB read of the reader thread waits at most this long, so that a close is not held up
// by a silent chip (which normally answers every latency period with its status bytes).
constexpr int READER_USB_TIMEOUT_MS = 100;
// Past this many unread bytes the reader stops draining the chip, whose own flow control then
// holds the sender, rather than dropping data or growing without end.
constexpr size_t RX_CAPACITY = 1 << 20;
constexpr int WRITE_CHUNK = 4096;  // libftdi's own write chunk: one USB transfer
constexpr int EEPROM_USB_TIMEOUT_MS = 5000;
// A vendor request from host to device; libftdi's macro for it mixes enumerations.
constexpr uint8_t VENDOR_OUT = 0x40;

// The ids FT_SetVIDPID told (vendor << 16 | product), 0 before. Unlike the vendor's library, which
// cannot open a device its kernel driver holds, libftdi1 detaches that driver: so FTDI's own ids,
// those of ordinary USB-serial cables, are looked for only when the user asks for them.
std::atomic<DWORD> told_id{0};

std::vector<DWORD> ids_looked_for() {
    const DWORD told = told_id;
    std::vector<DWORD> ids;
    if (told) ids.push_back(told);
    if (ftdi_generic_ids_wanted())
        for (DWORD id : FTDI_GENERIC_IDS)
            if (id != told) ids.push_back(id);
    return ids;
}

int vendor_of(DWORD id) {
    return static_cast<int>(id >> 16);
}
int product_of(DWORD id) {
    return static_cast<int>(id & 0xffff);
}

// The text of the calling thread's last failure, for the host's log.
thread_local char last_error[256];

FT_STATUS fail(FT_STATUS status, const char *call, const char *detail) {
    std::snprintf(last_error, sizeof last_error, "%s: %s", call, detail);
    return status;
}

struct device {
    // libftdi's context is not thread-safe: every use holds `usb_lock`. Callers other than the
    // reader count themselves in `waiting` first, and the reader, which takes the lock in a
    // loop, lets them in before its next turn.
    std::mutex usb_lock;
    std::atomic<int> waiting{0};
    ftdi_context *ftdi = nullptr;

    // Guarded by `queue_lock`, taken after `usb_lock` when both are held; `changed` tells of
    // bytes arriving or leaving and of the end of the device.
    std::mutex queue_lock;
    std::condition_variable changed;
    std::string rx;
    bool gone = false;
    std::string gone_reason;  // libftdi's text for the failed read
    EVENT_HANDLE *event = nullptr;
    DWORD event_mask = 0;

    std::atomic<DWORD> read_timeout{0};  // 0: without limit, as the vendor's default
    std::atomic<DWORD> write_timeout{0};
    std::atomic<bool> stop{false};
    std::thread reader;  // started by FT_OpenEx, joined by FT_Close
};

// Open devices. A handle is looked up here before use, so a stale or made-up one is refused
// rather than followed; closing one while another thread still uses it stays the caller's fault.
std::mutex devices_lock;
std::vector<device *> devices;

device *find(FT_HANDLE handle) {
    std::lock_guard g(devices_lock);
    auto it = std::find(devices.begin(), devices.end(), static_cast<device *>(handle));
    return it == devices.end() ? nullptr : *it;
}

class usb_guard {
public:
    explicit usb_guard(device &d) : m_d(d) {
        ++m_d.waiting;
        m_d.usb_lock.lock();
        --m_d.waiting;
    }
    ~usb_guard() { m_d.usb_lock.unlock(); }
    usb_guard(const usb_guard &) = delete;
    usb_guard &operator=(const usb_guard &) = delete;

private:
    device &m_d;
};

// Signals the caller's event; called with none of our locks held, as the caller checks the
// status (and so takes `queue_lock`) while holding the event's mutex.
void signal(EVENT_HANDLE *e) {
    if (!e) return;
    pthread_mutex_lock(&e->eMutex);
    pthread_cond_broadcast(&e->eCondVar);
    pthread_mutex_unlock(&e->eMutex);
}

bool transient(int code) {
    return code == LIBUSB_ERROR_TIMEOUT || code == LIBUSB_ERROR_INTERRUPTED;
}

// One turn of the reader: a USB read, its bytes queued under the USB lock so that a purge
// cannot fall between the read and the queueing. The event to signal, if any, goes to `wake`.
bool read_turn(device &d, EVENT_HANDLE *&wake) {
    unsigned char buf[4096];
    std::lock_guard usb(d.usb_lock);
    int n = ftdi_read_data(d.ftdi, buf, sizeof buf);
    std::lock_guard q(d.queue_lock);
    if (n < 0 && !transient(n)) {
        d.gone = true;
        d.gone_reason = ftdi_get_error_string(d.ftdi);
        wake = d.event;
    } else if (n > 0) {
        d.rx.append(reinterpret_cast<const char *>(buf), static_cast<size_t>(n));
        wake = (d.event_mask & FT_EVENT_RXCHAR) ? d.event : nullptr;
    }
    if (n != 0) d.changed.notify_all();
    return !d.gone;
}

void read_loop(device *d) {
    for (;;) {
        {
            std::unique_lock q(d->queue_lock);
            d->changed.wait(q, [d] { return d->stop || d->rx.size() < RX_CAPACITY; });
        }
        if (d->stop) return;
        EVENT_HANDLE *wake = nullptr;
        bool alive = read_turn(*d, wake);
        signal(wake);
        if (!alive) return;
        while (d->waiting.load() > 0)
            std::this_thread::yield();
    }
}

// Opens the device with that serial or description among those of the ids looked for.
int open_usb(ftdi_context *f, const char *description, const char *serial) {
    int r = -3;
    for (DWORD id : ids_looked_for()) {
        r = ftdi_usb_open_desc(f, vendor_of(id), product_of(id), description, serial);
        if (r != -3) break;  // -3: no such device with this id
    }
    return r;
}

FT_STATUS open_status(int code) {
    if (code == -3) return FT_DEVICE_NOT_FOUND;
    if (code == -4 || code == -5) return FT_DEVICE_NOT_OPENED;  // no access, or claimed
    return FT_IO_ERROR;
}

// Null when no reader thread can be had; the caller still owns `f` then.
device *start(ftdi_context *f) {
    auto *d = new device;
    d->ftdi = f;
    f->usb_read_timeout = READER_USB_TIMEOUT_MS;
    try {
        d->reader = std::thread(read_loop, d);
    } catch (const std::system_error &) {
        delete d;
        return nullptr;
    }
    std::lock_guard g(devices_lock);
    devices.push_back(d);
    return d;
}

// A libftdi call on an open device: FT_OK, or `status` with libftdi's text kept.
FT_STATUS checked(device &d, int result, FT_STATUS status, const char *call) {
    return result < 0 ? fail(status, call, ftdi_get_error_string(d.ftdi)) : FT_OK;
}

void copy_text(void *out, int bytes, const std::string &text) {
    if (out)
        std::snprintf(static_cast<char *>(out), static_cast<size_t>(bytes), "%s", text.c_str());
}

// The listing of the last FT_CreateDeviceInfoList.
struct listed {
    std::string serial, description;
    DWORD type = 0, id = 0, location = 0;
};
std::mutex listing_lock;
std::vector<listed> listing;

DWORD chip_type(uint16_t bcd) {
    switch (bcd >> 8) {
        case 0x02:
            return 1;  // AM
        case 0x04:
            return 0;  // BM
        case 0x05:
            return 4;  // 2232C
        case 0x06:
            return 5;  // 232R
        case 0x07:
            return 6;  // 2232H
        case 0x08:
            return 7;  // 4232H
        case 0x09:
            return 8;  // 232H
        case 0x10:
            return 9;  // X series
        default:
            return 3;  // unknown
    }
}

// Opening the device for its strings cannot tell whether someone else has it open, so the
// "opened" flag is never set; a device whose strings cannot be read is listed without them.
listed describe(ftdi_context *f, libusb_device *dev) {
    listed l;
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) == 0) {
        l.id = static_cast<DWORD>(desc.idVendor) << 16 | desc.idProduct;
        l.type = chip_type(desc.bcdDevice);
    }
    l.location = static_cast<DWORD>(libusb_get_bus_number(dev)) << 4 | libusb_get_port_number(dev);
    char description[FT_DESCRIPTION_BYTES] = {}, serial[FT_SERIAL_BYTES] = {};
    if (ftdi_usb_get_strings(f, dev, nullptr, 0, description, sizeof description, serial,
                             sizeof serial) == 0) {
        l.description = description;
        l.serial = serial;
    }
    return l;
}

}  // namespace

// Not part of the vendor's interface: the text of this thread's last failure, which the
// transport logs after its own line. Taking it clears it, so it is never told twice.
FT_EXPORT const char *survokart_ftd2xx_error() {
    thread_local char taken[sizeof last_error];
    std::memcpy(taken, last_error, sizeof taken);
    last_error[0] = '\0';
    return taken;
}

FT_EXPORT FT_STATUS FT_CreateDeviceInfoList(DWORD *count) {
    if (!count) return fail(FT_INVALID_PARAMETER, "FT_CreateDeviceInfoList", "no count");
    *count = 0;
    ftdi_context *f = ftdi_new();
    if (!f) return fail(FT_INSUFFICIENT_RESOURCES, "FT_CreateDeviceInfoList", "no USB context");
    std::vector<listed> now;
    for (DWORD id : ids_looked_for()) {
        ftdi_device_list *found = nullptr;
        if (ftdi_usb_find_all(f, &found, vendor_of(id), product_of(id)) < 0) {
            FT_STATUS s = fail(FT_IO_ERROR, "FT_CreateDeviceInfoList", ftdi_get_error_string(f));
            ftdi_free(f);
            return s;
        }
        for (ftdi_device_list *p = found; p; p = p->next)
            now.push_back(describe(f, p->dev));
        ftdi_list_free(&found);
    }
    ftdi_free(f);
    std::lock_guard g(listing_lock);
    listing = std::move(now);
    *count = static_cast<DWORD>(listing.size());
    return FT_OK;
}

// The one id besides FTDI's own that listing and opening look for, as in the vendor's library.
FT_EXPORT FT_STATUS FT_SetVIDPID(DWORD vendor, DWORD product) {
    if (vendor > 0xffff || product > 0xffff)
        return fail(FT_INVALID_PARAMETER, "FT_SetVIDPID", "not a USB id");
    told_id = vendor << 16 | product;
    return FT_OK;
}

FT_EXPORT FT_STATUS FT_GetDeviceInfoDetail(DWORD index, DWORD *flags, DWORD *type, DWORD *id,
                                           DWORD *location, void *serial, void *description,
                                           FT_HANDLE *handle) {
    std::lock_guard g(listing_lock);
    if (index >= listing.size())
        return fail(FT_DEVICE_NOT_FOUND, "FT_GetDeviceInfoDetail", "no such entry");
    const listed &l = listing[index];
    if (flags) *flags = 0;
    if (type) *type = l.type;
    if (id) *id = l.id;
    if (location) *location = l.location;
    if (handle) *handle = nullptr;
    copy_text(serial, FT_SERIAL_BYTES, l.serial);
    copy_text(description, FT_DESCRIPTION_BYTES, l.description);
    return FT_OK;
}

// Interface A of the device; the line starts at libftdi's defaults (9600 baud, 8N1).
FT_EXPORT FT_STATUS FT_OpenEx(void *arg, DWORD flags, FT_HANDLE *handle) {
    if (!handle) return fail(FT_INVALID_PARAMETER, "FT_OpenEx", "no handle output");
    *handle = nullptr;
    if (!arg) return fail(FT_INVALID_PARAMETER, "FT_OpenEx", "no serial or description");
    if (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION)
        return fail(FT_NOT_SUPPORTED, "FT_OpenEx", "only by serial or description");
    const char *text = static_cast<const char *>(arg);
    ftdi_context *f = ftdi_new();
    if (!f) return fail(FT_INSUFFICIENT_RESOURCES, "FT_OpenEx", "no USB context");
    ftdi_set_interface(f, INTERFACE_A);
    int r =
        flags == FT_OPEN_BY_SERIAL_NUMBER ? open_usb(f, nullptr, text) : open_usb(f, text, nullptr);
    if (r < 0) {
        const char *why = ftdi_get_error_string(f);  // none when no id was looked for
        FT_STATUS s = fail(open_status(r), "FT_OpenEx", why ? why : "device not found");
        ftdi_free(f);
        return s;
    }
    *handle = start(f);
    if (*handle) return FT_OK;
    ftdi_usb_close(f);
    ftdi_free(f);
    return fail(FT_INSUFFICIENT_RESOURCES, "FT_OpenEx", "no reader thread");
}

FT_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    device *d = nullptr;
    {
        std::lock_guard g(devices_lock);
        auto it = std::find(devices.begin(), devices.end(), static_cast<device *>(handle));
        if (it == devices.end()) return fail(FT_INVALID_HANDLE, "FT_Close", "not an open device");
        d = *it;
        devices.erase(it);
    }
    {
        std::lock_guard q(d->queue_lock);
        d->stop = true;
    }
    d->changed.notify_all();
    d->reader.join();
    ftdi_usb_close(d->ftdi);
    ftdi_free(d->ftdi);
    delete d;
    return FT_OK;
}

// A device that went away still hands out what it sent before.
FT_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD *rx, DWORD *tx, DWORD *events) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_GetStatus", "not an open device");
    if (!rx || !tx || !events) return fail(FT_INVALID_PARAMETER, "FT_GetStatus", "no output");
    std::lock_guard q(d->queue_lock);
    if (d->gone && d->rx.empty()) return fail(FT_IO_ERROR, "FT_GetStatus", d->gone_reason.c_str());
    *rx = static_cast<DWORD>(std::min<size_t>(d->rx.size(), UINT_MAX));
    *tx = 0;
    *events = 0;
    return FT_OK;
}

FT_EXPORT FT_STATUS FT_SetEventNotification(FT_HANDLE handle, DWORD mask, void *event) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_SetEventNotification", "not an open device");
    if (mask && !event) return fail(FT_INVALID_PARAMETER, "FT_SetEventNotification", "no event");
    std::lock_guard q(d->queue_lock);
    d->event = static_cast<EVENT_HANDLE *>(event);
    d->event_mask = mask;
    return FT_OK;
}

// Waits for `count` bytes up to the read time-out; fewer bytes at its end are still FT_OK.
FT_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *got) {
    if (got) *got = 0;
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_Read", "not an open device");
    if (!got || (!buffer && count)) return fail(FT_INVALID_PARAMETER, "FT_Read", "no buffer");
    std::unique_lock q(d->queue_lock);
    auto ready = [&] { return d->rx.size() >= count || d->gone; };
    if (DWORD ms = d->read_timeout)
        d->changed.wait_for(q, std::chrono::milliseconds(ms), ready);
    else
        d->changed.wait(q, ready);
    size_t n = std::min<size_t>(count, d->rx.size());
    if (n == 0 && count && d->gone) return fail(FT_IO_ERROR, "FT_Read", d->gone_reason.c_str());
    if (n) std::memcpy(buffer, d->rx.data(), n);
    d->rx.erase(0, n);
    *got = static_cast<DWORD>(n);
    d->changed.notify_all();  // room for the reader again
    return FT_OK;
}

// The write time-out bounds the whole write, which goes out in chunks of one USB transfer.
// libftdi tells a chunk's time-out from a lost device by neither code nor count, so either
// fails the write; `written` still says what the chunks before it carried.
FT_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, void *data, DWORD length, DWORD *written) {
    if (written) *written = 0;
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_Write", "not an open device");
    if (!written || (!data && length)) return fail(FT_INVALID_PARAMETER, "FT_Write", "no data");
    const DWORD limit = d->write_timeout;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    usb_guard g(*d);
    const auto *bytes = static_cast<const unsigned char *>(data);
    while (*written < length) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (limit && left <= 0) break;  // what is left did not go out in time: fewer bytes
        d->ftdi->usb_write_timeout = limit ? static_cast<int>(std::min<long>(left, INT_MAX)) : 0;
        int chunk = static_cast<int>(std::min<DWORD>(length - *written, WRITE_CHUNK));
        int r = ftdi_write_data(d->ftdi, bytes + *written, chunk);
        if (r <= 0) return fail(FT_IO_ERROR, "FT_Write", ftdi_get_error_string(d->ftdi));
        *written += static_cast<DWORD>(r);
    }
    return FT_OK;
}

FT_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, DWORD read_ms, DWORD write_ms) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_SetTimeouts", "not an open device");
    d->read_timeout = read_ms;
    d->write_timeout = write_ms;
    return FT_OK;
}

FT_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, DWORD mask) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_Purge", "not an open device");
    if (mask & ~(FT_PURGE_RX | FT_PURGE_TX))
        return fail(FT_INVALID_PARAMETER, "FT_Purge", "unknown mask");
    usb_guard g(*d);
    if ((mask & FT_PURGE_TX) && ftdi_tcoflush(d->ftdi) < 0)
        return checked(*d, -1, FT_IO_ERROR, "FT_Purge");
    if (mask & FT_PURGE_RX) {
        if (ftdi_tciflush(d->ftdi) < 0) return checked(*d, -1, FT_IO_ERROR, "FT_Purge");
        std::lock_guard q(d->queue_lock);
        d->rx.clear();
        d->changed.notify_all();
    }
    return FT_OK;
}

FT_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE handle, DWORD baud) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_SetBaudRate", "not an open device");
    if (baud == 0 || baud > INT_MAX) return fail(FT_INVALID_BAUD_RATE, "FT_SetBaudRate", "rate");
    usb_guard g(*d);
    int r = ftdi_set_baudrate(d->ftdi, static_cast<int>(baud));
    return checked(*d, r, r == -1 ? FT_INVALID_BAUD_RATE : FT_IO_ERROR, "FT_SetBaudRate");
}

// The vendor's codes are libftdi's numbers: stop bits 0, 1 (1.5), 2; parity none to space.
FT_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, unsigned char bits,
                                              unsigned char stop, unsigned char parity) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_SetDataCharacteristics", "not an open device");
    if ((bits != 7 && bits != 8) || stop > 2 || parity > 4)
        return fail(FT_INVALID_PARAMETER, "FT_SetDataCharacteristics", "unsupported format");
    usb_guard g(*d);
    int r = ftdi_set_line_property(d->ftdi, static_cast<ftdi_bits_type>(bits),
                                   static_cast<ftdi_stopbits_type>(stop),
                                   static_cast<ftdi_parity_type>(parity));
    return checked(*d, r, FT_IO_ERROR, "FT_SetDataCharacteristics");
}

FT_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short flow, unsigned char xon,
                                      unsigned char xoff) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_SetFlowControl", "not an open device");
    if (flow != SIO_DISABLE_FLOW_CTRL && flow != SIO_RTS_CTS_HS && flow != SIO_DTR_DSR_HS &&
        flow != SIO_XON_XOFF_HS)
        return fail(FT_INVALID_PARAMETER, "FT_SetFlowControl", "unknown flow control");
    usb_guard g(*d);
    int r = flow == SIO_XON_XOFF_HS ? ftdi_setflowctrl_xonxoff(d->ftdi, xon, xoff)
                                    : ftdi_setflowctrl(d->ftdi, flow);
    return checked(*d, r, FT_IO_ERROR, "FT_SetFlowControl");
}

FT_EXPORT FT_STATUS FT_ReadEE(FT_HANDLE handle, DWORD offset, unsigned short *word) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_ReadEE", "not an open device");
    if (!word || offset > 0xffff) return fail(FT_INVALID_PARAMETER, "FT_ReadEE", "bad argument");
    usb_guard g(*d);
    int r = ftdi_read_eeprom_location(d->ftdi, static_cast<int>(offset), word);
    return checked(*d, r, FT_EEPROM_READ_FAILED, "FT_ReadEE");
}

// libftdi writes single words only above the checksummed area, which is the part the
// transport writes, so the chip's own request is sent here.
FT_EXPORT FT_STATUS FT_WriteEE(FT_HANDLE handle, DWORD offset, unsigned short word) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_WriteEE", "not an open device");
    if (offset > 0xffff) return fail(FT_INVALID_PARAMETER, "FT_WriteEE", "bad offset");
    usb_guard g(*d);
    int r =
        libusb_control_transfer(d->ftdi->usb_dev, VENDOR_OUT, SIO_WRITE_EEPROM_REQUEST, word,
                                static_cast<uint16_t>(offset), nullptr, 0, EEPROM_USB_TIMEOUT_MS);
    return r < 0 ? fail(FT_EEPROM_WRITE_FAILED, "FT_WriteEE", libusb_strerror(r)) : FT_OK;
}

FT_EXPORT FT_STATUS FT_EraseEE(FT_HANDLE handle) {
    device *d = find(handle);
    if (!d) return fail(FT_INVALID_HANDLE, "FT_EraseEE", "not an open device");
    usb_guard g(*d);
    return checked(*d, ftdi_erase_eeprom(d->ftdi), FT_EEPROM_ERASE_FAILED, "FT_EraseEE");
}
