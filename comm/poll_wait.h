// The waits of the transports that poll() one descriptor per link together with an eventfd that
// their disconnect writes, so that a waiting reader wakes at once.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "transport.h"

// Creates a transport context of type Context with its wake-up descriptor (member wake_fd); -1
// and nothing created when the descriptor is refused.
template <typename Context>
int comm_new_woken_context(void **context_out) {
    if (!context_out) return -1;
    auto *ctx = new Context;
    ctx->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ctx->wake_fd < 0) {
        delete ctx;
        return -1;
    }
    *context_out = ctx;
    return 0;
}

// poll() that resumes after signals with the time that is left.
inline int comm_poll(pollfd *fds, nfds_t count, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int r = ::poll(fds, count, timeout_ms);
        if (r >= 0 || errno != EINTR) return r;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
}

// Whether the disconnect has written the wake-up descriptor.
inline bool comm_woken(const pollfd &wake) {
    return wake.revents & (POLLIN | POLLERR | POLLNVAL);
}

// The waitfor operation over contexts of type Context, each with its medium descriptor in
// `medium`, and members wake_fd, interest and result. `error_events` are the poll() events that
// end the link; a peer's hang-up that is not among them reads as readable, so that the read
// reports the end.
template <typename Context>
int comm_poll_wait(void **contexts, int count, int max_count, int timeout_ms, int Context::*medium,
                   short error_events) {
    if (!contexts || count <= 0 || count > max_count) return -1;
    std::vector<pollfd> fds(static_cast<size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        auto *ctx = static_cast<Context *>(contexts[i]);
        if (!ctx || ctx->*medium < 0) return -1;
        short events = 0;
        if (ctx->interest & COMM_WAIT_READ) events |= POLLIN;
        if (ctx->interest & COMM_WAIT_WRITE) events |= POLLOUT;
        fds[2 * i] = {ctx->*medium, events, 0};
        fds[2 * i + 1] = {ctx->wake_fd, POLLIN, 0};
    }
    if (comm_poll(fds.data(), fds.size(), timeout_ms) < 0) return -1;
    for (int i = 0; i < count; ++i) {
        auto *ctx = static_cast<Context *>(contexts[i]);
        short ev = fds[2 * i].revents;
        int result = 0;
        if ((ev & error_events) || comm_woken(fds[2 * i + 1])) {
            result = COMM_WAIT_ERROR;
        } else {
            if (ev & (POLLIN | POLLHUP)) result |= COMM_WAIT_READ;
            if (ev & POLLOUT) result |= COMM_WAIT_WRITE;
            if (!result) result = COMM_WAIT_TIMEOUT;
        }
        ctx->result = result;
    }
    return 0;
}
