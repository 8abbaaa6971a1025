// A scripted FTDI device behind the D2XX entry points, built as a shared library that the FTDI
// transport loads like the vendor's. The test reaches the same state through fake_d2xx_state().
#pragma once

#include <dlfcn.h>
#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct fake_d2xx_device {
    std::string serial;
    std::string description;   // copied into the library's 64-byte field without an end marker
    unsigned id = 0x17810c44;  // USB vendor << 16 | product: an instrument unless told otherwise
};

struct fake_d2xx {
    std::mutex lock;                 // guards everything below
    std::vector<std::string> calls;  // "FT_SetBaudRate 38400", ...
    std::vector<fake_d2xx_device> devices;
    std::string to_host;  // bytes the device has sent
    bool echo = true;     // the device answers each write with the same bytes
    int line_fd = -1;     // when bridged: writes go to this line, its bytes come to the host
    bool present = true;  // false: every call on the open device fails, as when it is unplugged
    uint16_t eeprom[64] = {};
    void *event = nullptr;  // the transport's EVENT_HANDLE

    std::vector<std::string> take_calls() {
        std::lock_guard g(lock);
        return std::exchange(calls, {});
    }
    // Wakes a waiting reader, as the real library does when characters arrive.
    void signal() {
        void *e = nullptr;
        {
            std::lock_guard g(lock);
            e = event;
        }
        if (!e) return;
        struct ev {
            pthread_cond_t cond;
            pthread_mutex_t mutex;
            int value;
        } *h = static_cast<ev *>(e);
        pthread_mutex_lock(&h->mutex);
        pthread_cond_signal(&h->cond);
        pthread_mutex_unlock(&h->mutex);
    }
    void unplug() {
        {
            std::lock_guard g(lock);
            present = false;
        }
        signal();
    }
};

extern "C" fake_d2xx *fake_d2xx_state();
// Makes the device a USB-serial adapter on the serial line at `path` (a pseudo-terminal that a
// simulated instrument serves) until unbridged. 0 or -1.
extern "C" int fake_d2xx_bridge(const char *path);
extern "C" void fake_d2xx_unbridge();

// An entry point of the fake `library`, loaded as the transport will load it; null when missing.
template <typename F>
F *fake_d2xx_entry(const char *library, const char *name) {
    void *lib = ::dlopen(library, RTLD_NOW);
    return lib ? reinterpret_cast<F *>(::dlsym(lib, name)) : nullptr;
}

inline fake_d2xx *fake_d2xx_load(const char *library) {
    auto state = fake_d2xx_entry<fake_d2xx *()>(library, "fake_d2xx_state");
    return state ? state() : nullptr;
}
