// Serial transport over termios. The port is opened non-blocking and every wait is a poll() that
// also watches an eventfd, so that a disconnect from another thread wakes the reader (or a
// writer) at once.
#include "serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "poll_wait.h"

namespace {

struct serial_context {
    // Opened by connect on the reader thread before the connection counts as connected, closed
    // by free when no thread uses the context any more; writers use it only while connected.
    int fd = -1;
    int wake_fd = -1;  // eventfd; written by disconnect, never read
    // Whether this link set exclusive mode: the mode belongs to the port, not to a descriptor, so
    // a link refused after open() (root passes TIOCEXCL) must leave another link's mode alone.
    bool exclusive = false;
    // Set before the reader starts.
    int conn_id = 0;
    char path[256] = {};
    comm_serial_line line{};
    // Reader only.
    int interest = 0;
    int result = 0;
};

serial_context *ctx_of(void *context) {
    return static_cast<serial_context *>(context);
}

struct baud_rate {
    int baud;
    speed_t speed;
};

// The rates the kernel's termios interface names. Others would need the driver's custom divisor
// interface, which many adapters lack; they are refused rather than silently rounded.
constexpr baud_rate standard_rates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool speed_of(int baud, speed_t *speed) {
    for (const baud_rate &r : standard_rates)
        if (r.baud == baud) {
            *speed = r.speed;
            return true;
        }
    return false;
}

bool size_of(int databits, tcflag_t *size) {
    constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (databits < 5 || databits > 8) return false;
    *size = sizes[databits - 5];
    return true;
}

void set_flag(tcflag_t &flags, tcflag_t bits, bool on) {
    flags = on ? (flags | bits) : (flags & ~bits);
}

using Clock = std::chrono::steady_clock;

const char *reason_of(int err) {
    return err == ENOTTY ? "not a serial port" : std::strerror(err);
}

void log_termios(const char *title, const termios &t) {
    log_write(LOG_CH_SERIAL, "%s", title);
    log_append(LOG_CH_SERIAL, "    speed:%u/%u\n", static_cast<unsigned>(cfgetispeed(&t)),
               static_cast<unsigned>(cfgetospeed(&t)));
    log_append(LOG_CH_SERIAL, "    iflag:%#o\n    oflag:%#o\n", t.c_iflag, t.c_oflag);
    log_append(LOG_CH_SERIAL, "    cflag:%#o\n    lflag:%#o\n", t.c_cflag, t.c_lflag);
}

// Logs the line settings as the port is opened.
void log_opened(const serial_context &ctx) {
    const comm_serial_line &l = ctx.line;
    log_write(LOG_CH_SERIAL, "Serial port %s opened.", ctx.path);
    log_append(LOG_CH_SERIAL, "Params: baud rate=%d,data bits=%d,stop bits=%d,", l.baud, l.databits,
               l.stopbits);
    const char *parity[] = {"none parity,", "odd parity,", "even parity,"};
    if (l.parity >= 0 && l.parity <= 2) log_append(LOG_CH_SERIAL, "%s", parity[l.parity]);
    log_append(LOG_CH_SERIAL, "%s\n", l.flow ? "RTS/CTS flow control" : "no flow control");
}

// Keeps other programs (and other connections of this one) off the port while it is open:
// TIOCEXCL refuses further opens to all but root, the lock also to cooperating root programs.
int lock_port(serial_context &ctx) {
    if (::flock(ctx.fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        log_error("Could not open device '%s'! %s\n", ctx.path,
                  err == EWOULDBLOCK ? "in use by another program" : std::strerror(err));
        return -1;
    }
    ctx.exclusive = ::ioctl(ctx.fd, TIOCEXCL) == 0;
    return 0;
}

int set_line(serial_context &ctx) {
    termios t{};
    if (::tcgetattr(ctx.fd, &t) != 0) {
        log_error("Error getting comm state for device '%s'! %s\n", ctx.path, reason_of(errno));
        return -1;
    }
    log_termios("Current comm state:\n", t);
    std::string reason;
    if (serial_make_termios(ctx.line, &t, &reason) != 0) {
        log_error("Error setting comm state for device '%s'! %s\n", ctx.path, reason.c_str());
        return -1;
    }
    log_termios("New comm state:\n", t);
    termios applied{};
    // tcsetattr succeeds when any one change was taken, so read back what the driver kept.
    if (::tcsetattr(ctx.fd, TCSANOW, &t) != 0 || ::tcgetattr(ctx.fd, &applied) != 0) {
        log_error("Error setting comm state for device '%s'! %s\n", ctx.path, reason_of(errno));
        return -1;
    }
    if (cfgetospeed(&applied) != cfgetospeed(&t) || cfgetispeed(&applied) != cfgetispeed(&t)) {
        log_error("Error setting comm state for device '%s'! the port does not take %d baud\n",
                  ctx.path, ctx.line.baud);
        return -1;
    }
    // Data bits and parity may be fixed by the driver (a pseudo-terminal always has 8 bits and
    // no parity); the frame checks catch a real mismatch, so that is only noted.
    if ((applied.c_cflag ^ t.c_cflag) & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS))
        log_write(LOG_CH_SERIAL, "The driver of %s kept cflag %#o instead of %#o.\n", ctx.path,
                  applied.c_cflag, t.c_cflag);
    // DTR up while the port is open; ports without modem lines (pseudo-terminals) refuse it.
    int dtr = TIOCM_DTR;
    ::ioctl(ctx.fd, TIOCMBIS, &dtr);
    return 0;
}

void log_timeouts() {
    log_write(LOG_CH_SERIAL, "New comm timeouts:\n");
    log_append(LOG_CH_SERIAL, "    ReadIntervalTimeout:%d\n", SERIAL_BYTE_GAP_MS);
    log_append(LOG_CH_SERIAL, "    WriteTotalTimeoutConstant:%d\n", SERIAL_WRITE_TIMEOUT_MS);
}

void close_port(serial_context &ctx) {
    if (ctx.fd < 0) return;
    // Output still queued is dropped: a real port's close would otherwise wait for it to drain,
    // for up to half a minute when flow control holds it back.
    ::tcflush(ctx.fd, TCOFLUSH);
    if (ctx.exclusive) ::ioctl(ctx.fd, TIOCNXCL);
    ctx.exclusive = false;
    ::close(ctx.fd);
    ctx.fd = -1;
}

int fail_connect(serial_context &ctx) {
    close_port(ctx);
    return -1;
}

// The write's own deadline: the caller's time-out, capped by the port's write time-out (0 from
// the caller means the port's alone).
int write_timeout(int timeout_ms) {
    return timeout_ms > 0 && timeout_ms < SERIAL_WRITE_TIMEOUT_MS ? timeout_ms
                                                                  : SERIAL_WRITE_TIMEOUT_MS;
}

// Waits for room in the driver's queue; 1 room, 0 time-out, -1 disconnect or a dead port.
int wait_writable(serial_context &ctx, Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    pollfd fds[2] = {{ctx.fd, POLLOUT, 0}, {ctx.wake_fd, POLLIN, 0}};
    int r = comm_poll(fds, 2, static_cast<int>(left));
    if (r < 0 || comm_woken(fds[1]) || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;
    return r == 0 ? 0 : 1;
}

}  // namespace

constexpr comm_transport_ops serial_ops = {
    .name = "USRT",
    .init = serial_init,
    .free = serial_free,
    .connect = serial_connect,
    .disconnect = serial_disconnect,
    .read = serial_read,
    .write = serial_write,
    .waitget = serial_waitget,
    .waitset = serial_waitset,
    .waitfor = serial_waitfor,
};
static_assert(comm_transport_complete(serial_ops));

int serial_make_termios(const comm_serial_line &line, termios *t, std::string *reason) {
    speed_t speed = B0;
    tcflag_t size = CS8;
    std::string why;
    if (!speed_of(line.baud, &speed))
        why = "baud rate " + std::to_string(line.baud) + " is not a standard rate";
    else if (!size_of(line.databits, &size))
        why = "data bits must be 5 to 8, not " + std::to_string(line.databits);
    else if (line.stopbits < 0 || line.stopbits > 2)
        why = "stop bits must be 0, 1 or 2, not " + std::to_string(line.stopbits);
    if (!why.empty()) {
        if (reason) *reason = why;
        return -1;
    }
    // A raw binary line: no echo, no line editing, no translation, no software flow control.
    t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                    IXANY | IGNPAR);
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag |= CLOCAL | CREAD | HUPCL;
    t->c_cflag = (t->c_cflag & ~CSIZE) | size;
    set_flag(t->c_cflag, CSTOPB, line.stopbits == 2);
    set_flag(t->c_cflag, CRTSCTS, line.flow != 0);
    if (line.parity >= 0 && line.parity <= 2) {
        // A byte with a parity error reads as 0, so its frame keeps its length and fails its
        // check instead of swallowing the next frame's first byte.
        set_flag(t->c_cflag, PARENB, line.parity != 0);
        set_flag(t->c_iflag, INPCK, line.parity != 0);
        set_flag(t->c_cflag, PARODD, line.parity == 1);
        t->c_cflag &= ~CMSPAR;
    }
    // Reads never block in the driver: the waits are poll()s that a disconnect can wake.
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
    return 0;
}

int serial_set_params(void *context, int conn_id, const char *path, int baud, int databits,
                      int stopbits, int parity, int flow) {
    serial_context *ctx = ctx_of(context);
    if (!ctx || !path) return -1;
    ctx->conn_id = conn_id;
    std::snprintf(ctx->path, sizeof ctx->path, "%s", path);
    ctx->line = {baud, databits, stopbits, parity, flow};
    return 0;
}

int serial_init(void **context_out) {
    return comm_new_woken_context<serial_context>(context_out);
}

int serial_free(void **context) {
    if (!context || !*context) return 0;
    serial_context *ctx = ctx_of(*context);
    close_port(*ctx);
    ::close(ctx->wake_fd);
    delete ctx;
    *context = nullptr;
    return 0;
}

int serial_connect(void *context) {
    serial_context *ctx = ctx_of(context);
    if (!ctx) return -1;
    // Non-blocking, so that opening a port without carrier does not hang.
    ctx->fd = ::open(ctx->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ctx->fd < 0) {
        log_error("Could not open device '%s'! %s\n", ctx->path, std::strerror(errno));
        return -1;
    }
    if (lock_port(*ctx) != 0) return fail_connect(*ctx);
    log_opened(*ctx);
    if (set_line(*ctx) != 0) return fail_connect(*ctx);
    log_timeouts();
    // What arrived before the host was there is stale.
    if (::tcflush(ctx->fd, TCIOFLUSH) != 0) {
        log_error("Could not open device '%s'! %s\n", ctx->path, std::strerror(errno));
        return fail_connect(*ctx);
    }
    log_write(LOG_CH_SERIAL, "Comm port connected.\n");
    return 0;
}

int serial_disconnect(void *context) {
    serial_context *ctx = ctx_of(context);
    if (!ctx) return 0;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(ctx->wake_fd, &one, sizeof one);
    return 0;
}

// Reads what is there, then goes on while more bytes follow within the inter-byte gap, so that a
// frame usually arrives in one piece. A disconnect or a hang-up ends the gap wait at once.
int serial_read(void *context, char *buffer, int *size_in_out) {
    serial_context *ctx = ctx_of(context);
    if (!ctx || !buffer || !size_in_out || *size_in_out <= 0 || ctx->fd < 0) return -1;
    const int want = *size_in_out;
    int got = 0;
    while (got < want) {
        ssize_t n = ::read(ctx->fd, buffer + got, static_cast<size_t>(want - got));
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            if (got > 0) break;  // hand over what came; the next wait reports the error
            log_error("Serial read error on '%s': %s\n", ctx->path, std::strerror(errno));
            return -1;
        }
        // Nothing more for now. With nothing at all, a hang-up shows in the next wait.
        if (got == 0) break;
        pollfd fds[2] = {{ctx->fd, POLLIN, 0}, {ctx->wake_fd, POLLIN, 0}};
        int r = comm_poll(fds, 2, SERIAL_BYTE_GAP_MS);
        if (r <= 0 || comm_woken(fds[1]) || fds[0].revents != POLLIN) break;
    }
    *size_in_out = got;
    return 0;
}

// A write that does not finish within its time-out fails with -1 and counts nothing as written:
// the data did not go out whole. What the driver still holds of it is discarded, so that its tail
// can never follow later behind the start of a retried frame.
int serial_write(void *context, const char *data, int length, int *written_out, int timeout_ms) {
    serial_context *ctx = ctx_of(context);
    if (written_out) *written_out = 0;
    if (!ctx || ctx->fd < 0) return -1;
    if (length == 0) return 0;
    if (!data || length < 0) return -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(write_timeout(timeout_ms));
    int done = 0;
    while (done < length) {
        ssize_t n = ::write(ctx->fd, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            log_error("Serial write error on '%s': %s\n", ctx->path, std::strerror(errno));
            ::tcflush(ctx->fd, TCOFLUSH);
            return -1;
        }
        int room = wait_writable(*ctx, deadline);
        if (room <= 0) {
            if (room == 0)
                log_error("Serial write timeout on '%s': %d of %d bytes taken, discarded\n",
                          ctx->path, done, length);
            ::tcflush(ctx->fd, TCOFLUSH);
            return -1;
        }
    }
    if (written_out) *written_out = done;
    return 0;
}

int serial_waitget(void *context, int mask, int *subcode_out) {
    return comm_context_waitget(ctx_of(context), mask, subcode_out);
}

int serial_waitset(void *context, int interest) {
    return comm_context_waitset(ctx_of(context), interest);
}

int serial_waitfor(void **contexts, int count, int timeout_ms) {
    constexpr int max_ports = 255;
    // A hang-up (the far end of a pseudo-terminal closed, an adapter unplugged) ends the link:
    // the driver has already dropped whatever was unread.
    return comm_poll_wait(contexts, count, max_ports, timeout_ms, &serial_context::fd,
                          POLLERR | POLLHUP | POLLNVAL);
}
