// Named log channels (files shared by path, console echo, a redirect hook) and the error log.
// Any thread may log. Registration, redirection and closing take the log's own lock.
#pragma once

#include <cstdarg>

constexpr int LOG_MAX_CHANNELS = 25;

// The channels the library writes to, named once so that a host can register every one of them.
inline constexpr char LOG_CH_COMM[] = "COMM";
inline constexpr char LOG_CH_NET[] = "NET";
inline constexpr char LOG_CH_NET_BROADCAST[] = "NET_BROADCAST";
inline constexpr char LOG_CH_SERIAL[] = "SERIAL";
inline constexpr char LOG_CH_USBUNIV[] = "USBUNIV";
inline constexpr char LOG_CH_FTDI[] = "FTDI";
inline constexpr char LOG_CH_BT[] = "BT";
inline constexpr const char *LOG_LIBRARY_CHANNELS[] = {
    LOG_CH_COMM, LOG_CH_NET, LOG_CH_NET_BROADCAST, LOG_CH_SERIAL, LOG_CH_USBUNIV,
    LOG_CH_FTDI, LOG_CH_BT};

// Returns 0 when the hook did not take the text, which then goes to the console as well.
using log_redirect_hook = int (*)(const char *channel, int reserved, const char *text);

int log_addlevel(const char *name, int to_file, int enabled, int append, int reserved,
                 const char *path);
int log_setlevel(const char *name, int enabled);
int log_seterror(int to_file, int display, int append, int reserved, const char *path);
void log_redirect(log_redirect_hook hook);
int log_write(const char *channel, const char *format, ...) __attribute__((format(printf, 2, 3)));
int log_append(const char *channel, const char *format, ...) __attribute__((format(printf, 2, 3)));
int log_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
int log_reinit();
int log_close();
int log_num_errors();
// Closes every file and forgets every channel, the error log and the hook.
void log_reset();
