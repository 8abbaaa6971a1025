// Command round trips through MXX_send_cmd against the simulated instrument, against a plain
// loopback TCP ping-pong of the same bytes measured in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "../baseline.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "sim/instrument.h"

namespace {

constexpr uint16_t kSmallCommand = 1234;  // answered by a bare response
constexpr uint16_t kLargeCommand = 1300;  // answered with an 8 KB record
constexpr size_t kLargePayload = 8192;

bool read_exactly(int fd, char *buf, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, buf, n, 0);
        if (r <= 0) return false;
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void no_delay(int fd) {
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

void BM_SendCmdRoundTrip(benchmark::State &state) {
    const bool large = state.range(0) != 0;
    const size_t answer_size = MXX_FRAME_OVERHEAD + (large ? kLargePayload : 0);
    double baseline = 0;
    {
        PingPong raw(MXX_FRAME_OVERHEAD, answer_size);
        baseline = bench::seconds_per_call([&] { raw.round_trip(); });
    }

    sim::Options options;
    options.port = 0;
    options.udp = false;
    options.record_commands = false;
    sim::Instrument instrument(options);
    instrument.set_command(kLargeCommand, [](const sim::Command &c) {
        sim::Answer a = sim::default_answer(c);
        a.payload.assign(kLargePayload, 0x5a);
        return std::optional<sim::Answer>(a);
    });
    if (!instrument.start()) {
        state.SkipWithError("the simulated instrument did not start");
        return;
    }
    MXX_init(nullptr, nullptr, nullptr);
    char conn[128];
    MXX_make_net_conn_string(conn, "127.0.0.1", instrument.port());
    int id = 0;
    MXX_connect(conn, &id, nullptr, nullptr, nullptr, MDD_probe, MDD_test_probe, nullptr);
    if (MXX_wait_connected(id, 10000) != 0) {
        state.SkipWithError("the simulated instrument was not recognised");
        MXX_shut();
        return;
    }
    std::vector<char> rsp(kLargePayload);
    const uint16_t code = large ? kLargeCommand : kSmallCommand;
    bench::LoopTimer timer;
    for (auto _ : state) {
        int len = 0;
        int r = MXX_send_cmd(id, code, 1, nullptr, 0, rsp.data(), static_cast<int>(rsp.size()),
                             &len, nullptr, nullptr, 1000, 1);
        benchmark::DoNotOptimize(r);
    }
    timer.report(state, baseline, "ratio_vs_raw_tcp");
    state.counters["raw_tcp_us"] = baseline * 1e6;
    MXX_shut();
}
BENCHMARK(BM_SendCmdRoundTrip)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("answer_8k")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
