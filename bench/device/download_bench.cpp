// Downloading every stored record the way the download dialog does (the list, then one transfer
// per record) against four plain loopback round trips per record measured in the same run.
#include <QCoreApplication>

#include "../baseline.h"
#include "../pingpong.h"
#include "../simulated_m30.h"
#include "mxx/mxx.h"

namespace {

constexpr int kRecords = 10000;
constexpr int kRoundTripsPerRecord = 4;  // info, prepare, one chunk, the empty chunk

void BM_DownloadAllRecords(benchmark::State &state) {
    double round_trip = 0;
    {
        bench::PingPong raw(MXX_FRAME_OVERHEAD, MXX_FRAME_OVERHEAD + 16);
        round_trip = bench::seconds_per_call([&] { raw.round_trip(); });
    }
    bench::SimulatedM30 m30(kRecords);
    if (const char *error = m30.connect()) return state.SkipWithError(error);
    M30Protocol &protocol = *m30.protocol();

    int64_t records = 0;
    bench::LoopTimer timer;
    for (auto _ : state) {
        records += bench::downloadAllRecords(protocol);
    }
    double per_iteration =
        round_trip * kRoundTripsPerRecord * (records / std::max<int64_t>(1, state.iterations()));
    timer.report(state, per_iteration, "ratio_vs_4_raw_round_trips");
    state.counters["records_per_second"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.counters["raw_round_trip_us"] = round_trip * 1e6;
}
BENCHMARK(BM_DownloadAllRecords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MXX_shut();
    return 0;
}
