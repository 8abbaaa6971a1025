// Reassembly throughput of the connection callback over 1 MB of back-to-back frames, against
// memcpy of the same bytes.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../baseline.h"
#include "comm/comm.h"
#include "mxx/conn_state.h"

namespace {

// Frames in the mix an instrument sends: status and totals events, now and then a spectrum.
std::string stream_of_frames(size_t bytes) {
    std::mt19937 rng(1);
    std::string out;
    while (out.size() < bytes) {
        int kind = static_cast<int>(rng() % 10);
        size_t payload = kind == 0 ? 4096 : kind < 5 ? 120 : 40;
        std::string p(payload, '\0');
        for (char &c : p)
            c = static_cast<char>(rng());
        std::string f(payload + MXX_FRAME_OVERHEAD, '\0');
        mxx_build_frame(reinterpret_cast<uint8_t *>(f.data()), kind == 0 ? 10002 : 10007, 0, 0,
                        p.data(), static_cast<uint16_t>(payload));
        out += f;
    }
    return out;
}

int frames_seen = 0;
int count_frames(int, char *, MXX_frame *, void *) {
    ++frames_seen;
    return 0;
}

void BM_EventProcReassembly(benchmark::State &state) {
    std::string stream = stream_of_frames(1 << 20);
    std::vector<char> copy(stream.size());
    double memcpy_seconds = bench::seconds_per_call([&] {
        std::memcpy(copy.data(), stream.data(), stream.size());
        benchmark::ClobberMemory();
    });

    auto s = std::make_shared<MXX_conn_state>();
    s->self = s;
    constexpr int id = 1;
    MXX_event_proc(id, COMM_EVENT_CONNECTED, nullptr, 0, s.get());
    MXX_hook_async_event(id, MXX_CODE_ANY, count_frames);
    const size_t read_size = 4096;  // what the reader thread hands over per read
    bench::LoopTimer timer;
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += read_size) {
            size_t n = std::min(read_size, stream.size() - off);
            MXX_event_proc(id, COMM_EVENT_DATA, stream.data() + off, static_cast<int>(n), s.get());
        }
    }
    timer.report(state, memcpy_seconds, "ratio_vs_memcpy");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] = frames_seen;
    MXX_event_proc(id, COMM_EVENT_DISCONNECTED, nullptr, 0, s.get());
}
BENCHMARK(BM_EventProcReassembly)->Unit(benchmark::kMicrosecond);

}  // namespace
