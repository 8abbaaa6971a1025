// TCP transport over POSIX sockets. The reader's waits also watch an eventfd, so that a
// disconnect from another thread wakes a wait or a connect in progress at once.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "log.h"
#include "poll_wait.h"
#include "socket_io.h"

namespace {

struct net_context : comm_socket_link {
    int conn_id = 0;             // set before the reader starts
    char host[256] = {};         // set before the reader starts
    int port = 0;                // set before the reader starts
    int connect_timeout_ms = 0;  // set before the reader starts
};

net_context *ctx_of(void *context) {
    return static_cast<net_context *>(context);
}

int fail_connect(net_context *ctx, const char *reason) {
    log_error("Net socket connection error '%s': %s\n", ctx->host, reason);
    comm_socket_close(ctx);
    return -1;
}

// Waits for a non-blocking connect to finish, for a disconnect, or for the time-out.
int finish_connect(net_context *ctx, int fd) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {ctx->wake_fd, POLLIN, 0}};
    int r = comm_poll(fds, 2, ctx->connect_timeout_ms);
    if (r < 0) return fail_connect(ctx, std::strerror(errno));
    if (r == 0 || comm_woken(fds[1])) {
        log_error("Net socket connection timeout '%s'!", ctx->host);
        comm_socket_close(ctx);
        return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
    if (err != 0) return fail_connect(ctx, std::strerror(err));
    ctx->interest = 0;
    log_write(LOG_CH_NET, "Net socket connected to host '%s'.\n", ctx->host);
    return 0;
}

}  // namespace

constexpr comm_transport_ops net_ops = {
    .name = "NETW",
    .init = net_init,
    .free = net_free,
    .connect = net_connect,
    .disconnect = net_disconnect,
    .read = net_read,
    .write = net_write,
    .waitget = net_waitget,
    .waitset = net_waitset,
    .waitfor = net_waitfor,
};
static_assert(comm_transport_complete(net_ops));

int net_set_params(void *context, int conn_id, const char *host, int port, int connect_timeout_ms) {
    net_context *ctx = ctx_of(context);
    if (!ctx || !host) return -1;
    ctx->conn_id = conn_id;
    std::snprintf(ctx->host, sizeof ctx->host, "%s", host);
    ctx->port = port;
    ctx->connect_timeout_ms = connect_timeout_ms;
    return 0;
}

int net_init(void **context_out) {
    return comm_new_woken_context<net_context>(context_out);
}

int net_free(void **context) {
    return comm_socket_free<net_context>(context);
}

int net_connect(void *context) {
    net_context *ctx = ctx_of(context);
    if (!ctx) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(ctx->port));
    if (::inet_pton(AF_INET, ctx->host, &addr.sin_addr) != 1) {
        log_error("Net socket connection error '%s': %s\n", ctx->host, "not an IPv4 address");
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail_connect(ctx, std::strerror(errno));
    if (!comm_socket_adopt(ctx, fd)) return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // frames are small
    log_write(LOG_CH_NET, "Net socket connection in progress to host '%s'...\n", ctx->host);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        log_write(LOG_CH_NET, "Net socket connected to host '%s'.\n", ctx->host);
        return 0;
    }
    if (errno != EINPROGRESS) return fail_connect(ctx, std::strerror(errno));
    ctx->interest = COMM_WAIT_WRITE;
    return finish_connect(ctx, fd);
}

int net_disconnect(void *context) {
    return comm_socket_disconnect(ctx_of(context));
}

int net_read(void *context, char *buffer, int *size_in_out) {
    net_context *ctx = ctx_of(context);
    return ctx ? comm_socket_read(ctx->sock, buffer, size_in_out) : -1;
}

int net_write(void *context, const char *data, int length, int *written_out, int timeout_ms) {
    net_context *ctx = ctx_of(context);
    if (written_out) *written_out = 0;
    return ctx ? comm_socket_write(ctx->sock, data, length, written_out, timeout_ms) : -1;
}

int net_waitget(void *context, int mask, int *subcode_out) {
    return comm_context_waitget(ctx_of(context), mask, subcode_out);
}

int net_waitset(void *context, int interest) {
    return comm_context_waitset(ctx_of(context), interest);
}

int net_waitfor(void **contexts, int count, int timeout_ms) {
    return comm_socket_waitfor<net_context>(contexts, count, timeout_ms);
}

int net_init_stack() {
    // A peer that closes must give the writer an error, not kill the program.
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

int net_shut_stack() {
    return 0;
}
