// The RFCOMM transport. After the connect an RFCOMM socket is a plain stream socket, so read,
// write and wait are the TCP transport's; the reader's waits also watch an eventfd that the
// disconnect writes. While the connect waits, a PIN agent answers BlueZ on the same poll.
#include "bluetooth.h"

#include <bluetooth/rfcomm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "bluetooth_agent.h"
#include "log.h"
#include "poll_wait.h"
#include "socket_io.h"

namespace {

constexpr int kMaxChannel = 30;  // RFCOMM server channels are 1-30

struct bt_context : comm_socket_link {
    // Set before the reader starts.
    int conn_id = 0;
    char address[32] = {};  // as the connection string gave it
    int channel = 0;
    int connect_timeout_ms = 0;
    char pin[32] = {};
};

bt_context *ctx_of(void *context) {
    return static_cast<bt_context *>(context);
}

int rfcomm_connect(const bdaddr_t *address, int channel, int *error_out) {
    int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_RFCOMM);
    if (fd < 0) {
        *error_out = errno;
        return -1;
    }
    // An authenticated link: this is what makes BlueZ pair, and ask the agent for the PIN.
    bt_security security{};
    security.level = BT_SECURITY_MEDIUM;
    ::setsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security);
    sockaddr_rc addr{};
    addr.rc_family = AF_BLUETOOTH;
    bacpy(&addr.rc_bdaddr, address);
    addr.rc_channel = static_cast<uint8_t>(channel);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        *error_out = 0;
        return fd;
    }
    *error_out = errno;
    if (errno == EINPROGRESS) return fd;
    ::close(fd);
    return -1;
}

std::atomic<bt_ms_connector> connector{rfcomm_connect};

int fail_connect(bt_context *ctx, const char *reason) {
    log_error("NetBT socket connection error '%s': %s\n", ctx->address, reason);
    comm_socket_close(ctx);
    return -1;
}

int time_out(bt_context *ctx) {
    log_error("NetBT socket connection timeout '%s'!", ctx->address);
    comm_socket_close(ctx);
    return -1;
}

int connected(bt_context *ctx) {
    ctx->interest = 0;
    log_write(LOG_CH_BT, "NetBT socket connected to Bluetooth device '%s'.\n", ctx->address);
    return 0;
}

int ms_left(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for a started connect to finish, for a disconnect, or for the time-out, answering the
// agent's callers meanwhile.
int finish_connect(bt_context *ctx, int fd, bt_agent *agent) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ctx->connect_timeout_ms);
    for (;;) {
        // What the agent's bus has queued already would not wake the poll: answer it first.
        if (agent && bt_agent_process(agent) != 0) agent = nullptr;  // the bus went away
        pollfd fds[3] = {{fd, POLLOUT, 0}, {ctx->wake_fd, POLLIN, 0}, {-1, 0, 0}};
        if (agent) fds[2] = bt_agent_pollfd(agent);
        int r = comm_poll(fds, 3, ms_left(deadline));
        if (r < 0) return fail_connect(ctx, std::strerror(errno));
        if (r == 0 || comm_woken(fds[1])) return time_out(ctx);
        if (fds[0].revents) break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
    if (err != 0) return fail_connect(ctx, std::strerror(err));
    return connected(ctx);
}

// The address and channel checks, before any socket or bus is touched.
bool check_target(bt_context *ctx, bdaddr_t *address) {
    if (bt_ms_parse_address(ctx->address, address) != 0) {
        log_error("NetBT socket connection error '%s': %s\n", ctx->address,
                  "not a Bluetooth device address");
        return false;
    }
    if (ctx->channel < 1 || ctx->channel > kMaxChannel) {
        log_error("NetBT socket connection error '%s': RFCOMM channel %d is not 1-30\n",
                  ctx->address, ctx->channel);
        return false;
    }
    return true;
}

}  // namespace

constexpr comm_transport_ops bt_ms_ops = {
    .name = "BLTH",
    .init = bt_ms_init,
    .free = bt_ms_free,
    .connect = bt_ms_connect,
    .disconnect = bt_ms_disconnect,
    .read = bt_ms_read,
    .write = bt_ms_write,
    .waitget = bt_ms_waitget,
    .waitset = bt_ms_waitset,
    .waitfor = bt_ms_waitfor,
};
static_assert(comm_transport_complete(bt_ms_ops));

int bt_ms_parse_address(const char *text, bdaddr_t *out) {
    if (!text || !out) return -1;
    char hex[13] = {};
    int digits = 0;
    for (const char *p = text; *p; ++p) {
        if (!std::isxdigit(static_cast<unsigned char>(*p))) continue;
        if (digits == 12) return -1;
        hex[digits++] = *p;
    }
    if (digits != 12) return -1;
    char canonical[18];
    std::snprintf(canonical, sizeof canonical, "%.2s:%.2s:%.2s:%.2s:%.2s:%.2s", hex, hex + 2,
                  hex + 4, hex + 6, hex + 8, hex + 10);
    return str2ba(canonical, out) == 0 ? 0 : -1;
}

bt_ms_connector bt_ms_set_connector(bt_ms_connector replacement) {
    return connector.exchange(replacement ? replacement : rfcomm_connect);
}

int bt_ms_set_params(void *context, int conn_id, const char *address, int channel, const char *pin,
                     int connect_timeout_ms) {
    bt_context *ctx = ctx_of(context);
    if (!ctx || !address) return -1;
    ctx->conn_id = conn_id;
    std::snprintf(ctx->address, sizeof ctx->address, "%s", address);
    ctx->channel = channel;
    std::snprintf(ctx->pin, sizeof ctx->pin, "%s", pin ? pin : "");
    ctx->connect_timeout_ms = connect_timeout_ms;
    return 0;
}

int bt_ms_init(void **context_out) {
    return comm_new_woken_context<bt_context>(context_out);
}

int bt_ms_free(void **context) {
    return comm_socket_free<bt_context>(context);
}

int bt_ms_connect(void *context) {
    bt_context *ctx = ctx_of(context);
    bdaddr_t address{};
    if (!ctx || !check_target(ctx, &address)) return -1;
    char canonical[18];
    ba2str(&address, canonical);
    // Registered for the whole connect and unregistered on every way out of it.
    bt_agent_ref agent = bt_agent_open(canonical, ctx->pin, ctx->conn_id);
    log_write(LOG_CH_BT, "NetBT socket connection in progress to Bluetooth device '%s'...\n",
              ctx->address);
    int err = 0;
    int fd = connector.load()(&address, ctx->channel, &err);
    if (fd < 0) return fail_connect(ctx, std::strerror(err));
    if (!comm_socket_adopt(ctx, fd)) return -1;
    if (err == 0) return connected(ctx);
    ctx->interest = COMM_WAIT_WRITE;
    return finish_connect(ctx, fd, agent.get());
}

int bt_ms_disconnect(void *context) {
    return comm_socket_disconnect(ctx_of(context));
}

int bt_ms_read(void *context, char *buffer, int *size_in_out) {
    bt_context *ctx = ctx_of(context);
    return ctx ? comm_socket_read(ctx->sock, buffer, size_in_out) : -1;
}

int bt_ms_write(void *context, const char *data, int length, int *written_out, int timeout_ms) {
    bt_context *ctx = ctx_of(context);
    if (written_out) *written_out = 0;
    return ctx ? comm_socket_write(ctx->sock, data, length, written_out, timeout_ms) : -1;
}

int bt_ms_waitget(void *context, int mask, int *subcode_out) {
    return comm_context_waitget(ctx_of(context), mask, subcode_out);
}

int bt_ms_waitset(void *context, int interest) {
    return comm_context_waitset(ctx_of(context), interest);
}

int bt_ms_waitfor(void **contexts, int count, int timeout_ms) {
    return comm_socket_waitfor<bt_context>(contexts, count, timeout_ms);
}
