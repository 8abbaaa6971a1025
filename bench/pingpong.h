// The plain loopback TCP round trip that library round trips are measured against.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace bench {

inline bool read_exactly(int fd, char *buf, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, buf, n, 0);
        if (r <= 0) return false;
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline void no_delay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A peer that answers every `request_size` bytes with `answer_size` bytes.
class PingPong {
public:
    PingPong(size_t request_size, size_t answer_size)
        : request_(request_size), answer_(answer_size) {
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(listener, 1);
        socklen_t len = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        client_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(client_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        server_ = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        no_delay(client_);
        no_delay(server_);
        echo_ = std::thread([this] {
            std::vector<char> in(request_.size()), out(answer_.size());
            while (read_exactly(server_, in.data(), in.size()))
                ::send(server_, out.data(), out.size(), MSG_NOSIGNAL);
        });
    }
    ~PingPong() {
        ::shutdown(client_, SHUT_RDWR);
        echo_.join();
        ::close(client_);
        ::close(server_);
    }
    void round_trip() {
        ::send(client_, request_.data(), request_.size(), MSG_NOSIGNAL);
        read_exactly(client_, answer_.data(), answer_.size());
    }

private:
    std::vector<char> request_, answer_;
    int client_ = -1, server_ = -1;
    std::thread echo_;
};

}  // namespace bench
