#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "thread.h"

namespace {

struct log_level_t {
    char name[20];
    char path[256];
    int enabled;
    FILE *file;
    int owns_file;
};

// Recursive: a redirect hook may itself log.
std::recursive_mutex log_lock;
log_level_t levels[LOG_MAX_CHANNELS];
int levels_num = 0;
FILE *error_fd = nullptr;
char error_fname[256];
int error_display = 0;
int error_to_file = 0;
int num_errors = 0;
log_redirect_hook redirect_output = nullptr;

// A few kilobytes hold every message of the library; longer ones are cut.
constexpr int LOG_LINE_MAX = 4096;

void copy_text(char *dst, size_t size, const char *src) {
    std::snprintf(dst, size, "%s", src ? src : "");
}

const char *time_stamp(char (&buf)[32]) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(buf, sizeof buf, "%d/%m/%Y %H:%M:%S", &local);
    return buf;
}

FILE *open_log_file(const char *path, bool append) {
    FILE *f = std::fopen(path, append ? "a" : "w");
    if (!f) {
        int err = errno;
        log_error("Error opening logfile '%s': %s\n", path, std::strerror(err));
        return nullptr;
    }
    if (append) {
        std::fputs("\n", f);
        std::fflush(f);
    }
    return f;
}

log_level_t *find_level(const char *name) {
    for (int i = levels_num - 1; i >= 0; --i)
        if (std::strcmp(levels[i].name, name) == 0) return &levels[i];
    return nullptr;
}

void to_console(const char *channel, const char *text, FILE *stream) {
    if (!redirect_output || redirect_output(channel, 0, text) == 0) {
        std::fputs(text, stream);
        std::fflush(stream);
    }
}

void write_channel(const char *channel, const char *text, bool stamped) {
    std::lock_guard g(log_lock);
    if (levels_num == 0) return;
    if (!channel) {
        to_console(nullptr, text, stdout);
        return;
    }
    log_level_t *level = find_level(channel);
    if (!level) return;
    if (level->enabled) to_console(channel, text, stdout);
    if (level->file) {
        char stamp[32];
        if (stamped) std::fprintf(level->file, "%s ", time_stamp(stamp));
        std::fputs(text, level->file);
        std::fflush(level->file);
    }
}

int write_formatted(const char *channel, bool stamped, const char *format, va_list args) {
    char text[LOG_LINE_MAX];
    std::vsnprintf(text, sizeof text, format, args);
    write_channel(channel, text, stamped);
    return 0;
}

void close_files() {
    for (int i = 0; i < levels_num; ++i) {
        if (levels[i].file && levels[i].owns_file) std::fclose(levels[i].file);
        levels[i].file = nullptr;
    }
    if (error_fd) std::fclose(error_fd);
    error_fd = nullptr;
}

}  // namespace

int log_addlevel(const char *name, int to_file, int enabled, int append, int /*reserved*/,
                 const char *path) {
    if (!name) return -1;
    std::lock_guard g(log_lock);
    // The table is fixed; a channel beyond it is refused rather than written past the end.
    if (levels_num >= LOG_MAX_CHANNELS) return -1;
    if (levels_num == 0) utils_unbuff();
    log_level_t entry{};
    copy_text(entry.name, sizeof entry.name, name);
    copy_text(entry.path, sizeof entry.path, path);
    entry.enabled = enabled;
    for (int i = 0; i < levels_num && entry.path[0]; ++i) {
        if (levels[i].file && std::strcmp(levels[i].path, entry.path) == 0) {
            entry.file = levels[i].file;
            break;
        }
    }
    if (!entry.file && to_file && entry.path[0]) {
        entry.file = open_log_file(entry.path, append != 0);
        if (!entry.file) return -1;
        entry.owns_file = 1;
    }
    levels[levels_num++] = entry;
    return 0;
}

int log_setlevel(const char *name, int enabled) {
    if (!name) return -1;
    std::lock_guard g(log_lock);
    log_level_t *level = find_level(name);
    if (!level) return -1;
    level->enabled = enabled;
    return 0;
}

int log_seterror(int to_file, int display, int append, int /*reserved*/, const char *path) {
    std::lock_guard g(log_lock);
    error_display = display;
    error_to_file = to_file;
    copy_text(error_fname, sizeof error_fname, path);
    if (error_fd) std::fclose(error_fd);
    error_fd = nullptr;
    if (to_file && error_fname[0]) {
        error_fd = open_log_file(error_fname, append != 0);
        if (!error_fd) return -1;
    }
    return 0;
}

void log_redirect(log_redirect_hook hook) {
    std::lock_guard g(log_lock);
    redirect_output = hook;
}

int log_write(const char *channel, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int r = write_formatted(channel, true, format, args);
    va_end(args);
    return r;
}

int log_append(const char *channel, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int r = write_formatted(channel, false, format, args);
    va_end(args);
    return r;
}

int log_error(const char *format, ...) {
    char text[LOG_LINE_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard g(log_lock);
    ++num_errors;
    if (error_display) to_console("ERROR", text, stderr);
    if (error_fd) {
        char stamp[32];
        std::fprintf(error_fd, "%s:%s", time_stamp(stamp), text);
        std::fflush(error_fd);
    }
    return 0;
}

int log_reinit() {
    std::lock_guard g(log_lock);
    close_files();
    for (int i = 0; i < levels_num; ++i) {
        if (!levels[i].owns_file) continue;
        levels[i].file = open_log_file(levels[i].path, true);
        if (!levels[i].file) return -1;
    }
    for (int i = 0; i < levels_num; ++i) {
        if (levels[i].owns_file) continue;
        for (int j = 0; j < i; ++j)
            if (levels[j].owns_file && std::strcmp(levels[j].path, levels[i].path) == 0)
                levels[i].file = levels[j].file;
    }
    if (error_to_file && error_fname[0]) {
        error_fd = open_log_file(error_fname, true);
        if (!error_fd) return -1;
    }
    return 0;
}

int log_close() {
    std::lock_guard g(log_lock);
    close_files();
    return 0;
}

void log_reset() {
    std::lock_guard g(log_lock);
    close_files();
    levels_num = 0;
    error_display = error_to_file = num_errors = 0;
    error_fname[0] = '\0';
    redirect_output = nullptr;
}

int log_num_errors() {
    std::lock_guard g(log_lock);
    return num_errors;
}
