// Command round trips through MXX_send_cmd against the simulated instrument, against a plain
// loopback TCP ping-pong of the same bytes measured in the same run.

#include <string>
#include <vector>

#include "../baseline.h"
#include "../pingpong.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "sim/instrument.h"

namespace {

constexpr uint16_t kSmallCommand = 1234;  // answered by a bare response
constexpr uint16_t kLargeCommand = 1300;  // answered with an 8 KB record
constexpr size_t kLargePayload = 8192;

void BM_SendCmdRoundTrip(benchmark::State &state) {
    const bool large = state.range(0) != 0;
    const size_t answer_size = MXX_FRAME_OVERHEAD + (large ? kLargePayload : 0);
    double baseline = 0;
    {
        bench::PingPong raw(MXX_FRAME_OVERHEAD, answer_size);
        baseline = bench::seconds_per_call([&] { raw.round_trip(); });
    }

    sim::Options options = sim::in_process_options();
    options.record_commands = false;
    sim::Instrument instrument(options);
    instrument.set_command(kSmallCommand, sim::succeed());
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
