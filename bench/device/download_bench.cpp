// Downloading every stored record the way the download dialog does (the list, then one transfer
// per record) against four plain loopback round trips per record measured in the same run.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <vector>

#include "../baseline.h"
#include "../pingpong.h"
#include "device/m30protocol.h"
#include "device/mxxdevice.h"
#include "device/surveyrecord.h"
#include "mxx/mxx.h"
#include "sim/m30_model.h"

namespace {

constexpr int kRecords = 10000;
constexpr int kRoundTripsPerRecord = 4;  // info, prepare, one chunk, the empty chunk

bool waitConnected(MXXDevice &device) {
    QEventLoop loop;
    bool ok = false;
    QObject::connect(&device, &MXXDevice::connected, &loop, [&] {
        ok = true;
        loop.quit();
    });
    QObject::connect(&device, &MXXDevice::connectionError, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return ok;
}

void BM_DownloadAllRecords(benchmark::State &state) {
    double round_trip = 0;
    {
        bench::PingPong raw(MXX_FRAME_OVERHEAD, MXX_FRAME_OVERHEAD + 16);
        round_trip = bench::seconds_per_call([&] { raw.round_trip(); });
    }
    sim::Options options = sim::in_process_options();
    options.record_commands = false;
    sim::Instrument instrument(options);
    sim::M30Options m30;
    m30.events = false;
    m30.history.records = kRecords;
    sim::M30Model model(instrument, m30);
    MXX_init(nullptr, nullptr, nullptr);
    if (!instrument.start()) {
        state.SkipWithError("the simulated instrument did not start");
        return;
    }
    MXXDevice device;
    char conn[128];
    MXX_make_net_conn_string(conn, "127.0.0.1", instrument.port());
    device.connect(conn);
    if (!waitConnected(device)) {
        state.SkipWithError("the simulated instrument was not recognised");
        return;
    }
    auto protocol = std::make_shared<M30Protocol>();
    device.registerProtocol(protocol);

    std::vector<char> list(SURVEY_LIST_BYTES), record(SURVEY_RECORD_BYTES);
    int64_t records = 0;
    bench::LoopTimer timer;
    for (auto _ : state) {
        int count = 0;
        protocol->txBuffDownload(1, 0, 1, SURVEY_LIST_MAX, 0, 0, &count, nullptr, nullptr,
                                 list.data(), static_cast<int>(list.size()), nullptr);
        auto ids =
            decodeSurveyList(reinterpret_cast<const uint8_t *>(list.data()), list.size(), count);
        for (auto id = ids.rbegin(); id != ids.rend(); ++id) {
            std::fill(record.begin(), record.end(), 0);
            protocol->txBuffDownload(3, 0, *id, 1, 0, 0, nullptr, nullptr, nullptr, record.data(),
                                     static_cast<int>(record.size()), nullptr);
        }
        records += count;
    }
    double per_iteration =
        round_trip * kRoundTripsPerRecord * (records / std::max<int64_t>(1, state.iterations()));
    timer.report(state, per_iteration, "ratio_vs_4_raw_round_trips");
    state.counters["records_per_second"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.counters["raw_round_trip_us"] = round_trip * 1e6;
    device.disconnect();
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
