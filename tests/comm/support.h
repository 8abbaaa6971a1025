// Test helpers for the connection core: a loopback TCP peer, an event recorder for connection
// callbacks, and waiting for a condition with a generous deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/comm.h"
#include "comm/log.h"
#include "common/eventually.h"

namespace test {

// A listening loopback socket on an ephemeral port.
class Listener {
public:
    explicit Listener(int backlog = 16) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(fd_, backlog);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Listener() { close(); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    int port() const { return port_; }
    int accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::string conn_string(int timeout_ms = 2000) const {
        return "NETW/127.0.0.1/" + std::to_string(port_) + "/" + std::to_string(timeout_ms);
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port that refuses connections: bound, then closed.
inline int refused_port() {
    Listener l;
    return l.port();
}

inline void send_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Reads exactly n bytes (or fewer when the peer closes).
inline std::string recv_exactly(int fd, size_t n) {
    std::string out(n, '\0');
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::recv(fd, out.data() + done, n - done, 0);
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    out.resize(done);
    return out;
}

struct Event {
    unsigned event;
    std::string data;
};

// Records the events of connections; pass it as the user pointer with `Recorder::callback`.
class Recorder {
public:
    static int callback(int conn_id, unsigned event, char *data, int length, void *user) {
        auto *self = static_cast<Recorder *>(user);
        {
            std::lock_guard g(self->lock_);
            self->events_.push_back({event, std::string(data ? data : "", data ? length : 0)});
        }
        return self->on_event ? self->on_event(conn_id, event, data, length) : 0;
    }

    std::vector<Event> events() const {
        std::lock_guard g(lock_);
        return events_;
    }
    std::vector<unsigned> codes() const {
        std::vector<unsigned> out;
        for (const Event &e : events())
            out.push_back(e.event);
        return out;
    }
    bool saw(unsigned event) const {
        for (const Event &e : events())
            if (e.event == event) return true;
        return false;
    }
    bool wait_for(unsigned event) const {
        return eventually([&] { return saw(event); });
    }
    std::string data() const {
        std::string all;
        for (const Event &e : events())
            if ((e.event & 0xff) == COMM_EVENT_DATA) all += e.data;
        return all;
    }

    // Runs on the reader thread after the event is recorded; its result ends the link when
    // non-zero. Set before the connection opens.
    std::function<int(int, unsigned, char *, int)> on_event;

private:
    mutable std::mutex lock_;
    std::vector<Event> events_;
};

// Keeps the lines of the error log while it lives.
class ErrorLog {
public:
    ErrorLog() {
        log_reset();
        log_seterror(0, 1, 0, 0, nullptr);
        {
            std::lock_guard g(lock_);
            text_.clear();
        }
        log_redirect(keep);  // not under lock_, which keep() takes under the log's own lock
    }
    ~ErrorLog() { log_reset(); }
    ErrorLog(const ErrorLog &) = delete;
    ErrorLog &operator=(const ErrorLog &) = delete;

    std::string text() const {
        std::lock_guard g(lock_);
        return text_;
    }
    bool has(const std::string &part) const { return text().find(part) != std::string::npos; }

private:
    static int keep(const char *channel, int, const char *line) {
        std::lock_guard g(lock_);
        if (std::string(channel) == "ERROR") text_ += line;
        return 1;
    }
    static inline std::mutex lock_;
    static inline std::string text_;
};

// Starts the manager for one test and stops it afterwards.
struct ManagerScope {
    ManagerScope() { comm_init(); }
    ~ManagerScope() { comm_shut(); }
};

}  // namespace test
