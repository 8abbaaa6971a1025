// The fake D2XX library: each entry point records its call and answers from fake_d2xx.
#include "fake_d2xx.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using DWORD = unsigned int;
using FT_STATUS = unsigned int;
constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_IO_ERROR = 4;

fake_d2xx state;
int handle_token;  // the one open handle points here
std::thread relay;
int relay_stop = -1;  // eventfd ending the relay

// Moves what the line sends into the device's receive queue and signals the host.
void relay_line(int fd) {
    char buf[512];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {relay_stop, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents || !(fds[0].revents & POLLIN)) return;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return;
        {
            std::lock_guard g(state.lock);
            state.to_host.append(buf, static_cast<size_t>(n));
        }
        state.signal();
    }
}

void note(const char *format, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
    char line[128];
    std::snprintf(line, sizeof line, format, a, b, c);
    state.calls.push_back(line);
}

// The answer for a call on the open device; records the call as well.
FT_STATUS device_call(void *handle, const char *format, unsigned a = 0, unsigned b = 0,
                      unsigned c = 0) {
    std::lock_guard g(state.lock);
    note(format, a, b, c);
    if (handle != &handle_token) return FT_DEVICE_NOT_FOUND;
    return state.present ? FT_OK : FT_IO_ERROR;
}

}  // namespace

extern "C" {

fake_d2xx *fake_d2xx_state() {
    return &state;
}

int fake_d2xx_bridge(const char *path) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) return -1;
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    relay_stop = ::eventfd(0, EFD_CLOEXEC);
    {
        std::lock_guard g(state.lock);
        state.line_fd = fd;
    }
    relay = std::thread(relay_line, fd);
    return 0;
}

void fake_d2xx_unbridge() {
    if (!relay.joinable()) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(relay_stop, &one, sizeof one);
    relay.join();
    std::lock_guard g(state.lock);
    ::close(state.line_fd);
    ::close(relay_stop);
    state.line_fd = relay_stop = -1;
}

FT_STATUS FT_OpenEx(void *serial, DWORD flags, void **handle) {
    std::lock_guard g(state.lock);
    note("FT_OpenEx flags %u", flags);
    for (const fake_d2xx_device &d : state.devices)
        if (flags == 1 && d.serial == static_cast<const char *>(serial)) {
            *handle = &handle_token;
            return FT_OK;
        }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS FT_Close(void *h) {
    return device_call(h, "FT_Close");
}
FT_STATUS FT_Purge(void *h, DWORD mask) {
    return device_call(h, "FT_Purge %u", mask);
}
FT_STATUS FT_SetBaudRate(void *h, DWORD baud) {
    return device_call(h, "FT_SetBaudRate %u", baud);
}
FT_STATUS FT_SetDataCharacteristics(void *h, unsigned char bits, unsigned char stop,
                                    unsigned char parity) {
    return device_call(h, "FT_SetDataCharacteristics %u %u %u", bits, stop, parity);
}
FT_STATUS FT_SetFlowControl(void *h, unsigned short flow, unsigned char on, unsigned char off) {
    return device_call(h, "FT_SetFlowControl %#x %u %u", flow, on, off);
}
FT_STATUS FT_SetTimeouts(void *h, DWORD read, DWORD write) {
    return device_call(h, "FT_SetTimeouts %u %u", read, write);
}

FT_STATUS FT_SetEventNotification(void *h, DWORD mask, void *event) {
    std::lock_guard g(state.lock);
    if (h != &handle_token || !state.present) return FT_IO_ERROR;
    if (mask == 1) state.event = event;  // not recorded: the reader arms it before every wait
    return FT_OK;
}

FT_STATUS FT_GetStatus(void *h, DWORD *rx, DWORD *tx, DWORD *events) {
    std::lock_guard g(state.lock);
    if (h != &handle_token || !state.present) return FT_IO_ERROR;
    *rx = static_cast<DWORD>(state.to_host.size());
    *tx = 0;
    *events = 0;
    return FT_OK;
}

FT_STATUS FT_Read(void *h, void *buffer, DWORD count, DWORD *got) {
    std::lock_guard g(state.lock);
    if (h != &handle_token || !state.present) return FT_IO_ERROR;
    *got = std::min<DWORD>(count, static_cast<DWORD>(state.to_host.size()));
    std::memcpy(buffer, state.to_host.data(), *got);
    state.to_host.erase(0, *got);
    return FT_OK;
}

FT_STATUS FT_Write(void *h, void *data, DWORD length, DWORD *written) {
    {
        std::lock_guard g(state.lock);
        if (h != &handle_token || !state.present) return FT_IO_ERROR;
        if (state.line_fd >= 0) {
            if (::write(state.line_fd, data, length) != static_cast<ssize_t>(length))
                return FT_IO_ERROR;
        } else if (state.echo) {
            state.to_host.append(static_cast<const char *>(data), length);
        }
        *written = length;
    }
    state.signal();
    return FT_OK;
}

FT_STATUS FT_CreateDeviceInfoList(DWORD *count) {
    std::lock_guard g(state.lock);
    *count = static_cast<DWORD>(state.devices.size());
    return FT_OK;
}

// Lists every device whatever it is told, as the vendor's library lists FTDI's own ids unasked.
FT_STATUS FT_SetVIDPID(DWORD vendor, DWORD product) {
    std::lock_guard g(state.lock);
    note("FT_SetVIDPID %#x %#x", vendor, product);
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoDetail(DWORD index, DWORD *flags, DWORD *type, DWORD *id, DWORD *location,
                                 void *serial, void *description, void **handle) {
    std::lock_guard g(state.lock);
    if (index >= state.devices.size()) return FT_DEVICE_NOT_FOUND;
    const fake_d2xx_device &d = state.devices[index];
    *flags = *type = *location = 0;
    *id = d.id;
    *handle = nullptr;
    std::memset(serial, 'X', 16);  // a careless driver leaves no end marker
    std::memcpy(serial, d.serial.data(), std::min<size_t>(d.serial.size() + 1, 16));
    std::memset(description, 'Y', 64);
    std::memcpy(description, d.description.data(), std::min<size_t>(d.description.size() + 1, 64));
    return FT_OK;
}

FT_STATUS FT_ReadEE(void *h, DWORD offset, unsigned short *word) {
    FT_STATUS s = device_call(h, "FT_ReadEE %u", offset);
    if (s == FT_OK) *word = offset < 64 ? state.eeprom[offset] : 0;
    return s;
}
FT_STATUS FT_WriteEE(void *h, DWORD offset, unsigned short word) {
    FT_STATUS s = device_call(h, "FT_WriteEE %u %#x", offset, word);
    if (s == FT_OK && offset < 64) state.eeprom[offset] = word;
    return s;
}
FT_STATUS FT_EraseEE(void *h) {
    FT_STATUS s = device_call(h, "FT_EraseEE");
    if (s == FT_OK) std::memset(state.eeprom, 0xff, sizeof state.eeprom);
    return s;
}

}  // extern "C"
