// FTDI transport over the vendor's D2XX library, resolved with dlopen on first use. The library
// signals arriving bytes on a condition variable it is handed; the same one carries the stop of a
// disconnect, so a waiting reader wakes for either.
#include "ftdi.h"

#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "conn_string.h"
#include "d2xx.h"
#include "device_filter.h"
#include "log.h"

#ifndef SURVOKART_LIBDIR
#define SURVOKART_LIBDIR "lib"
#define SURVOKART_FULL_LIBDIR "/usr/local/lib"
#define FTDI_ADAPTER_SONAME "libsurvokart-ftd2xx.so.1"
#endif

namespace {

using namespace d2xx;

constexpr DWORD FT_PURGE_RX_TX = FT_PURGE_RX | FT_PURGE_TX;
constexpr DWORD FT_READ_TIMEOUT_MS = 1000;
// A write the caller gave no limit still ends: it runs under the connection lock, and a device
// that never takes its data would otherwise hold every other writer forever.
constexpr DWORD FT_WRITE_TIMEOUT_MS = 2500;
constexpr int FT_MAX_WAIT = 255;

// The entry points, resolved once under `dll_lock`; read-only after a successful load.
std::mutex dll_lock;
void *dll_handle = nullptr;
FT_STATUS (*FT_OpenEx)(void *, DWORD, FT_HANDLE *);
FT_STATUS (*FT_Close)(FT_HANDLE);
FT_STATUS (*FT_Read)(FT_HANDLE, void *, DWORD, DWORD *);
FT_STATUS (*FT_Write)(FT_HANDLE, void *, DWORD, DWORD *);
FT_STATUS (*FT_SetEventNotification)(FT_HANDLE, DWORD, void *);
FT_STATUS (*FT_GetStatus)(FT_HANDLE, DWORD *, DWORD *, DWORD *);
FT_STATUS (*FT_CreateDeviceInfoList)(DWORD *);
FT_STATUS(*FT_GetDeviceInfoDetail)
(DWORD, DWORD *, DWORD *, DWORD *, DWORD *, void *, void *, FT_HANDLE *);
FT_STATUS (*FT_ReadEE)(FT_HANDLE, DWORD, unsigned short *);
FT_STATUS (*FT_WriteEE)(FT_HANDLE, DWORD, unsigned short);
FT_STATUS (*FT_EraseEE)(FT_HANDLE);
FT_STATUS (*FT_Purge)(FT_HANDLE, DWORD);
FT_STATUS (*FT_SetTimeouts)(FT_HANDLE, DWORD, DWORD);
FT_STATUS (*FT_SetBaudRate)(FT_HANDLE, DWORD);
FT_STATUS (*FT_SetDataCharacteristics)(FT_HANDLE, unsigned char, unsigned char, unsigned char);
FT_STATUS (*FT_SetFlowControl)(FT_HANDLE, unsigned short, unsigned char, unsigned char);
// The vendor's library finds a device under other ids than FTDI's own only once told them.
FT_STATUS (*FT_SetVIDPID)(DWORD, DWORD);
// Our adapter's account of a failure; absent from the vendor's library.
const char *(*library_error)();

template <typename F>
bool resolve(F *&entry, const char *name) {
    entry = reinterpret_cast<F *>(::dlsym(dll_handle, name));
    return entry != nullptr;
}

bool resolve_all() {
    return resolve(FT_OpenEx, "FT_OpenEx") && resolve(FT_Close, "FT_Close") &&
           resolve(FT_Read, "FT_Read") && resolve(FT_Write, "FT_Write") &&
           resolve(FT_SetEventNotification, "FT_SetEventNotification") &&
           resolve(FT_GetStatus, "FT_GetStatus") &&
           resolve(FT_CreateDeviceInfoList, "FT_CreateDeviceInfoList") &&
           resolve(FT_GetDeviceInfoDetail, "FT_GetDeviceInfoDetail") &&
           resolve(FT_ReadEE, "FT_ReadEE") && resolve(FT_WriteEE, "FT_WriteEE") &&
           resolve(FT_EraseEE, "FT_EraseEE") && resolve(FT_Purge, "FT_Purge") &&
           resolve(FT_SetTimeouts, "FT_SetTimeouts") && resolve(FT_SetBaudRate, "FT_SetBaudRate") &&
           resolve(FT_SetDataCharacteristics, "FT_SetDataCharacteristics") &&
           resolve(FT_SetFlowControl, "FT_SetFlowControl") && resolve(FT_SetVIDPID, "FT_SetVIDPID");
}

// The vendor's library, else our adapter: in the library folder beside the program (installed
// or built), in the folder it was installed to, then wherever the dynamic linker finds it.
std::vector<std::string> candidates() {
    std::vector<std::string> paths{FTDI_DEFAULT_LIBRARY};
    char exe[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, static_cast<size_t>(n));
        dir.erase(dir.find_last_of('/') + 1);
        paths.push_back(dir + "../" SURVOKART_LIBDIR "/" FTDI_ADAPTER_SONAME);
    }
    paths.push_back(SURVOKART_FULL_LIBDIR "/" FTDI_ADAPTER_SONAME);
    paths.push_back(FTDI_ADAPTER_SONAME);
    return paths;
}

bool open_first(std::string &used) {
    for (const std::string &p : candidates()) {
        dll_handle = ::dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (dll_handle) {
            used = p;
            return true;
        }
    }
    return false;
}

// Adds the library's own account of the last failure on this thread, where it gives one.
void log_library_error() {
    const char *text = library_error ? library_error() : nullptr;
    if (text && *text) log_error("FTDI library: %s\n", text);
}

struct ftdi_context {
    // Set before the reader starts.
    char serial[COMM_DEVICE_FIELD_MAX] = {};
    comm_serial_line line{};
    int conn_id = 0;
    // Opened by connect on the reader thread, closed by free; writers and EEPROM access use it
    // only while connected, under the connection lock.
    FT_HANDLE handle = nullptr;
    // Both the library's arrival signal and the stop of a disconnect; `stop` is set under its
    // mutex so that a waiter checking it under the same mutex cannot miss the wake.
    EVENT_HANDLE event{};
    std::atomic<bool> stop{false};
    // Reader only.
    int interest = 0;
    int result = 0;
};

ftdi_context *ctx_of(void *context) {
    return static_cast<ftdi_context *>(context);
}

bool event_init(EVENT_HANDLE &e) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    bool ok = pthread_cond_init(&e.eCondVar, &attr) == 0;
    pthread_condattr_destroy(&attr);
    if (ok && pthread_mutex_init(&e.eMutex, nullptr) != 0) {
        pthread_cond_destroy(&e.eCondVar);
        ok = false;
    }
    return ok;
}

timespec after_ms(long ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        ++t.tv_sec;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// Whether `deadline` is reached at `now`.
bool passed(const timespec &deadline, const timespec &now) {
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

bool passed(const timespec &deadline) {
    return passed(deadline, after_ms(0));
}

// One library call of connect; logs `what` with the serial when it fails.
bool step(FT_STATUS status, const char *what, const ftdi_context &ctx) {
    if (status == 0) return true;
    log_error(what, ctx.serial);
    log_library_error();
    return false;
}

bool tell_ids(int vid, int pid) {
    if (FT_SetVIDPID(static_cast<DWORD>(vid) & 0xffff, static_cast<DWORD>(pid) & 0xffff) == 0)
        return true;
    log_error("FTDI library refused the USB ids %.4x:%.4x!\n", static_cast<unsigned>(vid) & 0xffff,
              static_cast<unsigned>(pid) & 0xffff);
    log_library_error();
    return false;
}

// A device is listed under the ids asked for, or under FTDI's own when the user wants those.
bool listed_id(DWORD id, int vid, int pid) {
    DWORD asked = (static_cast<DWORD>(vid) & 0xffff) << 16 | (static_cast<DWORD>(pid) & 0xffff);
    return id == asked || (ftdi_generic_id(id) && ftdi_generic_ids_wanted());
}

unsigned char word_length(int databits) {
    return databits >= 5 && databits <= 7 ? static_cast<unsigned char>(databits) : 8;
}

unsigned char stop_code(int stopbits) {
    return stopbits == 2 ? 1 : stopbits == 3 ? 2 : 0;
}

unsigned char parity_code(int parity) {
    return parity == 1 || parity == 2 ? static_cast<unsigned char>(parity) : 0;
}

int set_line(ftdi_context &ctx) {
    const comm_serial_line &l = ctx.line;
    FT_HANDLE h = ctx.handle;
    if (!step(FT_SetBaudRate(h, static_cast<DWORD>(l.baud)), "Could not set baud rate '%s'!\n",
              ctx))
        return -1;
    if (!step(FT_SetDataCharacteristics(h, word_length(l.databits), stop_code(l.stopbits),
                                        parity_code(l.parity)),
              "Could not set data characteristics '%s'!\n", ctx))
        return -1;
    unsigned short flow = l.flow == 1 ? FT_FLOW_RTS_CTS : 0;
    return step(FT_SetFlowControl(h, flow, 0, 0), "Could not set flow control '%s'!\n", ctx) ? 0
                                                                                             : -1;
}

void close_device(ftdi_context &ctx) {
    if (!ctx.handle) return;
    FT_Close(ctx.handle);
    ctx.handle = nullptr;
}

// The wait result of one context; -1 when the device no longer answers (unplugged).
int status_of(ftdi_context &ctx) {
    if (ctx.stop) return COMM_WAIT_ERROR;
    DWORD rx = 0, tx = 0, events = 0;
    if (FT_GetStatus(ctx.handle, &rx, &tx, &events) != 0) {
        log_error("FTDI device '%s' does not answer any more!\n", ctx.serial);
        log_library_error();
        return -1;
    }
    return rx > 0 && (ctx.interest & COMM_WAIT_READ) ? COMM_WAIT_READ : COMM_WAIT_TIMEOUT;
}

// Sets every result; 1 when one is ready, 0 when none, -1 on a device error.
int scan(void **contexts, int count) {
    int ready = 0;
    for (int i = 0; i < count; ++i) {
        ftdi_context *ctx = ctx_of(contexts[i]);
        int r = status_of(*ctx);
        if (r < 0) return -1;
        ctx->result = r;
        if (r != COMM_WAIT_TIMEOUT) ready = 1;
    }
    return ready;
}

bool filter_fits(const char *filter, int bytes, const char *what) {
    if (!filter || std::strlen(filter) < static_cast<size_t>(bytes)) return true;
    log_error("FTDI %s filter '%s' is longer than any %s (%d characters)!\n", what, filter, what,
              bytes - 1);
    return false;
}

uint16_t checksum(const uint16_t *words) {
    uint16_t value = 0xAAAA;
    for (int i = 0; i < FTDI_EEPROM_BYTES / 2 - 1; ++i) {
        value = static_cast<uint16_t>(value ^ words[i]);
        value = static_cast<uint16_t>((value << 1) | (value >> 15));
    }
    return value;
}

// The EEPROM calls need an open device and an image of at least `least` bytes.
bool eeprom_usable(const ftdi_context *ctx, const void *image, int size, int least) {
    if (!ctx || !ctx->handle || !image) {
        log_error("FTDI EEPROM access needs an open device!\n");
        return false;
    }
    if (size < least) {
        log_error("FTDI EEPROM image of %d bytes is too short (at least %d)!\n", size, least);
        return false;
    }
    return true;
}

}  // namespace

constexpr comm_transport_ops usbftdi_ops = {
    .name = "USBF",
    .init = usbftdi_init,
    .free = usbftdi_free,
    .connect = usbftdi_connect,
    .disconnect = usbftdi_disconnect,
    .read = usbftdi_read,
    .write = usbftdi_write,
    .waitget = usbftdi_waitget,
    .waitset = usbftdi_waitset,
    .waitfor = usbftdi_waitfor,
};
static_assert(comm_transport_complete(usbftdi_ops));

// A failed load is tried again on the next use, so the library may be installed while the
// program runs. A library named in the environment is the only one tried: a wrong path there
// is a mistake to report, not to cover with another library.
int load_ftdi_dll() {
    std::lock_guard g(dll_lock);
    if (dll_handle) return 0;
    const char *path = std::getenv("SURVOKART_D2XX_LIBRARY");
    std::string used;
    if (path && *path) {
        dll_handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!dll_handle) {
            log_error("FTDI library could not be loaded: %s\n", ::dlerror());
            return -1;
        }
        used = path;
    } else if (!open_first(used)) {
        log_error("FTDI library could not be loaded: neither %s nor our %s was found\n",
                  FTDI_DEFAULT_LIBRARY, FTDI_ADAPTER_SONAME);
        return -1;
    }
    if (!resolve_all()) {
        log_error("FTDI library '%s' lacks an entry point: %s\n", used.c_str(), ::dlerror());
        ::dlclose(dll_handle);
        dll_handle = nullptr;
        return -1;
    }
    library_error =
        reinterpret_cast<const char *(*)()>(::dlsym(dll_handle, "survokart_ftd2xx_error"));
    log_write(LOG_CH_FTDI, "FTDI library: %s\n", used.c_str());
    return 0;
}

int usbftdi_set_params(void *context, int conn_id, const char *serial, int baud, int databits,
                       int stopbits, int parity, int flow) {
    ftdi_context *ctx = ctx_of(context);
    if (!ctx || !serial) return -1;
    ctx->conn_id = conn_id;
    std::snprintf(ctx->serial, sizeof ctx->serial, "%s", serial);
    ctx->line = {baud, databits, stopbits, parity, flow};
    return 0;
}

int usbftdi_init(void **context_out) {
    if (!context_out) return -1;
    auto *ctx = new ftdi_context;
    if (!event_init(ctx->event)) {
        delete ctx;
        return -1;
    }
    *context_out = ctx;
    return 0;
}

int usbftdi_free(void **context) {
    if (!context || !*context) return 0;
    ftdi_context *ctx = ctx_of(*context);
    close_device(*ctx);
    pthread_cond_destroy(&ctx->event.eCondVar);
    pthread_mutex_destroy(&ctx->event.eMutex);
    delete ctx;
    *context = nullptr;
    return 0;
}

int usbftdi_connect(void *context) {
    ftdi_context *ctx = ctx_of(context);
    if (!ctx || load_ftdi_dll() != 0) return -1;
    if (!tell_ids(FTDI_INSTRUMENT_VENDOR, FTDI_INSTRUMENT_PRODUCT)) return -1;
    if (!step(FT_OpenEx(ctx->serial, FT_OPEN_BY_SERIAL_NUMBER, &ctx->handle),
              "Could not open device '%s'!\n", *ctx)) {
        ctx->handle = nullptr;
        return -1;
    }
    bool ok = step(FT_Purge(ctx->handle, FT_PURGE_RX_TX), "Could not purge buffers '%s'!\n", *ctx);
    // A baud rate of 0 ("USBF") keeps the device's own settings.
    if (ok && ctx->line.baud != 0) ok = set_line(*ctx) == 0;
    if (!ok) close_device(*ctx);
    return ok ? 0 : -1;
}

int usbftdi_disconnect(void *context) {
    ftdi_context *ctx = ctx_of(context);
    if (!ctx) return 0;
    pthread_mutex_lock(&ctx->event.eMutex);
    ctx->stop = true;
    pthread_cond_broadcast(&ctx->event.eCondVar);
    pthread_mutex_unlock(&ctx->event.eMutex);
    return 0;
}

int usbftdi_read(void *context, char *buffer, int *size_in_out) {
    ftdi_context *ctx = ctx_of(context);
    if (!ctx || !ctx->handle || !buffer || !size_in_out || *size_in_out <= 0) return -1;
    DWORD rx = 0, tx = 0, events = 0;
    if (FT_GetStatus(ctx->handle, &rx, &tx, &events) != 0) {
        log_error("Error reading data from ftdi usb port!\n");
        log_library_error();
        return -1;
    }
    DWORD want = std::min(static_cast<DWORD>(*size_in_out), rx);
    DWORD got = 0;
    if (want > 0 && (FT_Read(ctx->handle, buffer, want, &got) != 0 || got > want)) {
        log_error("Error reading data from ftdi usb port!\n");
        log_library_error();
        return -1;
    }
    *size_in_out = static_cast<int>(got);
    return 0;
}

// A write the device did not take whole within the time-out fails: the frame did not go out, and
// what the chip still holds of it is purged so that its tail never follows a retried frame.
int usbftdi_write(void *context, const char *data, int length, int *written_out, int timeout_ms) {
    ftdi_context *ctx = ctx_of(context);
    if (written_out) *written_out = 0;
    if (!ctx || !ctx->handle) return -1;
    if (length == 0) return 0;
    if (!data || length < 0) return -1;
    DWORD limit = timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : FT_WRITE_TIMEOUT_MS;
    DWORD done = 0;
    if (FT_SetTimeouts(ctx->handle, FT_READ_TIMEOUT_MS, limit) != 0 ||
        FT_Write(ctx->handle, const_cast<char *>(data), static_cast<DWORD>(length), &done) != 0 ||
        done != static_cast<DWORD>(length)) {
        log_error("Error writing data to ftdi usb port!\n");
        log_library_error();
        FT_Purge(ctx->handle, FT_PURGE_TX);
        return -1;
    }
    if (written_out) *written_out = length;
    return 0;
}

int usbftdi_waitget(void *context, int mask, int *subcode_out) {
    return comm_context_waitget(ctx_of(context), mask, subcode_out);
}

int usbftdi_waitset(void *context, int interest) {
    return comm_context_waitset(ctx_of(context), interest);
}

// The library signals the first context's event; with more than one context the others are
// looked at every 10 ms. An unplugged device is not signalled, so even a wait without limit looks
// at the status every second. The status is checked under the event's mutex before each sleep,
// as the condition has no memory of a signal sent while nobody waited.
int usbftdi_waitfor(void **contexts, int count, int timeout_ms) {
    if (!contexts || count < 1 || count > FT_MAX_WAIT) return -1;
    for (int i = 0; i < count; ++i) {
        ftdi_context *ctx = ctx_of(contexts[i]);
        if (!ctx || !ctx->handle) return -1;
        DWORD mask = static_cast<DWORD>(ctx->interest) & FT_EVENT_RXCHAR;
        if (FT_SetEventNotification(ctx->handle, mask, &ctx->event) != 0) return -1;
    }
    EVENT_HANDLE &e = ctx_of(contexts[0])->event;
    const timespec deadline = after_ms(timeout_ms);
    pthread_mutex_lock(&e.eMutex);
    int r = 0;
    while ((r = scan(contexts, count)) == 0 && (timeout_ms <= 0 || !passed(deadline))) {
        timespec until = after_ms(count > 1 ? 10 : 1000);
        if (timeout_ms > 0 && passed(deadline, until)) until = deadline;
        pthread_cond_timedwait(&e.eCondVar, &e.eMutex, &until);
    }
    pthread_mutex_unlock(&e.eMutex);
    return r < 0 ? -1 : 0;
}

int usbftdi_list_devices(char *descriptions_out, char *strings_out, int max, int *count_out,
                         const char *description_filter, const char *serial_filter, int vid,
                         int pid) {
    if (count_out) *count_out = 0;
    if (!filter_fits(serial_filter, FT_SERIAL_BYTES, "serial") ||
        !filter_fits(description_filter, FT_DESCRIPTION_BYTES, "description"))
        return -1;
    DWORD n = 0;
    if (load_ftdi_dll() != 0 || !tell_ids(vid, pid)) return -1;
    if (FT_CreateDeviceInfoList(&n) != 0) {
        log_error("FTDI devices could not be listed!\n");
        log_library_error();
        return -1;
    }
    int count = 0;
    for (DWORD i = 0; i < n && count < max; ++i) {
        DWORD flags = 0, type = 0, id = 0, location = 0;
        char serial[FT_SERIAL_BYTES] = {}, description[FT_DESCRIPTION_BYTES] = {};
        FT_HANDLE h = nullptr;
        if (FT_GetDeviceInfoDetail(i, &flags, &type, &id, &location, serial, description, &h) != 0)
            continue;
        serial[FT_SERIAL_BYTES - 1] = '\0';  // the library's texts are not trusted to end
        description[FT_DESCRIPTION_BYTES - 1] = '\0';
        if (!listed_id(id, vid, pid) || !description[0] ||
            !comm_filter_matches(description, description_filter) ||
            !comm_filter_matches(serial, serial_filter))
            continue;
        if (descriptions_out)
            std::snprintf(descriptions_out + count * 64, 64, "%.63s", description);
        if (strings_out)
            std::snprintf(strings_out + count * 128, 128, "USBF/%s/%.4x/%.4x", serial, id >> 16,
                          id & 0xffff);
        ++count;
    }
    if (count_out) *count_out = count;
    return 0;
}

// The whole image is always read, so that the checksum in its last word can be checked; the
// caller gets as much of it as its buffer holds.
int ftdi_read_eeprom(void *context, void *image, int size) {
    ftdi_context *ctx = ctx_of(context);
    if (!eeprom_usable(ctx, image, size, FTDI_EEPROM_BYTES / 2)) return -1;
    uint16_t words[FTDI_EEPROM_BYTES / 2] = {};
    for (DWORD i = 0; i < FTDI_EEPROM_BYTES / 2; ++i) {
        unsigned short w = 0;
        FT_STATUS status = FT_ReadEE(ctx->handle, i, &w);
        if (status != 0) {
            log_error("FTDI could not read EEPROM data!\n");
            log_library_error();
            return static_cast<int>(status);
        }
        words[i] = w;
    }
    uint16_t calc = checksum(words);
    log_write(LOG_CH_FTDI, "Calc chsum = 0x%.4x, eeprom checksum = 0x%.4x\n", calc,
              words[FTDI_EEPROM_BYTES / 2 - 1]);
    if (calc != words[FTDI_EEPROM_BYTES / 2 - 1]) {
        log_error("FTDI EEPROM checksum error!\n");
        return -1;
    }
    std::memcpy(image, words, static_cast<size_t>(std::min(size, FTDI_EEPROM_BYTES)));
    return 0;
}

// The erase clears the whole EEPROM, so only a whole image is written: a shorter one would leave
// the rest erased, the checksum word among it.
int ftdi_write_eeprom(void *context, const void *image, int size) {
    ftdi_context *ctx = ctx_of(context);
    if (!eeprom_usable(ctx, image, size, FTDI_EEPROM_BYTES)) return -1;
    uint16_t words[FTDI_EEPROM_BYTES / 2] = {};
    std::memcpy(words, image, sizeof words);
    FT_STATUS status = FT_EraseEE(ctx->handle);
    int i = 0;
    for (; i < FTDI_EEPROM_BYTES / 2 && status == 0; ++i)
        status = FT_WriteEE(ctx->handle, static_cast<DWORD>(i), words[i]);
    if (status != 0) {
        log_error("FTDI could not write EEPROM data!\n");
        log_library_error();
        if (i > 0) log_error("FTDI EEPROM left erased from word %d on!\n", i - 1);
    }
    return static_cast<int>(status);
}
