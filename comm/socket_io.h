// Reading and writing a connected non-blocking stream socket, shared by the transports whose
// medium is one (TCP, Bluetooth RFCOMM).
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "poll_wait.h"

// One receive of at most *size_in_out bytes. 0 with the count (0 when nothing was there after
// all); -1 on a missing argument, an error, or a peer that closed.
inline int comm_socket_read(int sock, char *buffer, int *size_in_out) {
    if (sock < 0 || !buffer || !size_in_out || *size_in_out <= 0) return -1;
    ssize_t n = ::recv(sock, buffer, static_cast<size_t>(*size_in_out), 0);
    if (n > 0) {
        *size_in_out = static_cast<int>(n);
        return 0;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        *size_in_out = 0;
        return 0;
    }
    return -1;
}

// One send of what the socket takes; *written_out (when given) gets the count. 0; -1 on an
// error, or when the socket stays full for `timeout_ms`.
inline int comm_socket_write(int sock, const char *data, int length, int *written_out,
                             int timeout_ms) {
    if (written_out) *written_out = 0;
    if (sock < 0) return -1;
    if (length == 0) return 0;
    if (!data || length < 0) return -1;
    // Send at once; only a full socket buffer makes the writer wait, with its own readiness
    // wait that never touches the reader's interest or result.
    ssize_t n = ::send(sock, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd fds[1] = {{sock, POLLOUT, 0}};
        int r = comm_poll(fds, 1, timeout_ms);
        if (r <= 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;
        n = ::send(sock, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (n >= 0) {
        if (written_out) *written_out = static_cast<int>(n);
        return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}

// The part of a transport context that a socket link has: the context types derive from it.
struct comm_socket_link {
    // The socket is created and closed by the reader thread (connect, free) under sock_lock;
    // disconnect reads it under sock_lock so that it never shuts down a descriptor number that
    // has been closed and handed out again.
    std::mutex sock_lock;
    int sock = -1;
    int wake_fd = -1;       // eventfd; written by disconnect, never read
    bool stopping = false;  // guarded by sock_lock
    int interest = 0;       // reader only
    int result = 0;         // reader only
};

inline void comm_socket_close(comm_socket_link *link) {
    std::lock_guard g(link->sock_lock);
    if (link->sock >= 0) ::close(link->sock);
    link->sock = -1;
}

// The free operation for contexts of type Context, derived from comm_socket_link.
template <typename Context>
int comm_socket_free(void **context) {
    if (!context || !*context) return 0;
    auto *ctx = static_cast<Context *>(*context);
    comm_socket_close(ctx);
    ::close(ctx->wake_fd);
    delete ctx;
    *context = nullptr;
    return 0;
}

// Keeps a new socket, unless a disconnect came first: then closes it and returns false.
inline bool comm_socket_adopt(comm_socket_link *link, int fd) {
    std::lock_guard g(link->sock_lock);
    if (link->stopping) {
        ::close(fd);
        return false;
    }
    link->sock = fd;
    return true;
}

// Shuts the socket down (a waiting reader then reads the end) and wakes a connect in progress.
inline int comm_socket_disconnect(comm_socket_link *link) {
    if (!link) return 0;
    std::lock_guard g(link->sock_lock);
    link->stopping = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(link->wake_fd, &one, sizeof one);
    if (link->sock >= 0) ::shutdown(link->sock, SHUT_RDWR);
    return 0;
}

// The waitfor operation over contexts of type Context, derived from comm_socket_link.
template <typename Context>
int comm_socket_waitfor(void **contexts, int count, int timeout_ms) {
    constexpr int max_sockets = 64;
    // A closed peer reads as readable: the read then reports the end of the link.
    return comm_poll_wait<Context>(contexts, count, max_sockets, timeout_ms, &Context::sock,
                                   POLLERR | POLLNVAL);
}
