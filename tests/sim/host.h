// A minimal host for testing the simulated instrument: a raw loopback socket that sends command
// frames and reassembles what comes back.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "mxx/frame.h"
#include "mxx/reassembler.h"

namespace test {

using Bytes = std::vector<uint8_t>;
constexpr int kDeadlineMs = 10000;
constexpr uint32_t kHostAddress = 0x7F0000FE;  // 127.0.0.254

inline Bytes frame(uint16_t code, uint16_t param, uint8_t status = 0, const Bytes &payload = {}) {
    Bytes out(payload.size() + MXX_FRAME_OVERHEAD);
    mxx_build_frame(out.data(), code, param, status, payload.data(),
                    static_cast<uint16_t>(payload.size()));
    return out;
}

inline Bytes payload_of(const Bytes &f) {
    if (f.size() <= MXX_HEADER_SIZE) return {};
    return Bytes(f.begin() + MXX_HEADER_SIZE, f.end() - 1);
}

inline sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Waits for `fd` to become readable; false at the deadline.
inline bool readable(int fd, int deadline_ms = kDeadlineMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, deadline_ms) == 1;
}

class Host {
public:
    explicit Host(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // From an address of its own: a connect to a port nobody listens on could otherwise pick
        // that very port as its source and connect to itself.
        sockaddr_in self = loopback(0);
        self.sin_addr.s_addr = htonl(kHostAddress);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&self), sizeof self);
        sockaddr_in addr = loopback(port);
        connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~Host() { ::close(m_fd); }
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    void send(const Bytes &bytes) { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void command(uint16_t code, uint16_t param, const Bytes &payload = {}) {
        send(frame(code, param, 0, payload));
    }

    // The next complete frame; nothing when the link closes or the deadline passes.
    std::optional<Bytes> next() {
        while (m_frames.empty())
            if (!read_some()) return std::nullopt;
        Bytes f = std::move(m_frames.front());
        m_frames.pop_front();
        return f;
    }
    // Reads one chunk; false at the end of the link or at the deadline.
    bool read_some() {
        if (!readable(m_fd)) return false;
        uint8_t buf[65536];
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0) {
            closed = true;
            return false;
        }
        last_read = Bytes(buf, buf + n);
        raw.insert(raw.end(), buf, buf + n);
        mxx_reassemble(*m_rx, buf, static_cast<size_t>(n), &Host::sink, this);
        return true;
    }
    // Reads until the instrument closes the link.
    bool wait_closed() {
        while (read_some()) {
        }
        return closed;
    }

    bool connected = false;
    bool closed = false;
    Bytes raw;        // every byte received
    Bytes last_read;  // the bytes of the last read

private:
    static void sink(void *self, uint8_t *f, int size) {
        static_cast<Host *>(self)->m_frames.emplace_back(f, f + size);
    }
    int m_fd = -1;
    std::unique_ptr<mxx_reassembler> m_rx = std::make_unique<mxx_reassembler>();
    std::deque<Bytes> m_frames;
};

}  // namespace test
