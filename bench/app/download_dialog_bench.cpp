// The download dialog reading 10 000 stored records from the simulated instrument, as the user
// starts it, while a fast timer on the same event loop measures the longest time the loop did not
// get to run (the longest stall a person would feel). The same transfers in a plain loop, without
// the dialog, are the baseline.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "../baseline.h"
#include "app/downloaddialog.h"
#include "device/m30protocol.h"
#include "device/mxxdevice.h"
#include "device/surveyrecord.h"
#include "mxx/mxx.h"
#include "sim/m30_model.h"

namespace {

constexpr int kRecords = 10000;
constexpr int kTickMs = 2;

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

// The walk without a dialog: the list, then every record, newest first.
double plainSeconds(M30Protocol &protocol) {
    std::vector<char> list(SURVEY_LIST_BYTES), record(SURVEY_RECORD_BYTES);
    auto start = bench::clock::now();
    int count = 0;
    protocol.txBuffDownload(1, 0, 1, SURVEY_LIST_MAX, 0, 0, &count, nullptr, nullptr, list.data(),
                            static_cast<int>(list.size()), nullptr);
    auto ids = decodeSurveyList(reinterpret_cast<const uint8_t *>(list.data()), list.size(), count);
    for (auto id = ids.rbegin(); id != ids.rend(); ++id) {
        std::fill(record.begin(), record.end(), 0);
        protocol.txBuffDownload(3, 0, *id, 1, 0, 0, nullptr, nullptr, nullptr, record.data(),
                                static_cast<int>(record.size()), nullptr);
    }
    return bench::seconds_since(start);
}

struct DialogRun {
    double seconds = 0;
    double maxStallMs = 0;
    int points = 0;
    bool done = false;
};

DialogRun runDialog(const std::shared_ptr<M30Protocol> &protocol) {
    DialogRun run;
    DownloadDialog dialog(nullptr, protocol, 1);
    QObject::connect(&dialog, &DownloadDialog::addMapPoint, [&] { ++run.points; });
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(kTickMs);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        run.maxStallMs = std::max(run.maxStallMs, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
    });
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    auto start = bench::clock::now();
    ticker.start();
    sinceTick.start();
    // Clicked from the event loop, as a person would: the list transfer is inside the measure.
    QTimer::singleShot(0, dialog.findChild<QPushButton *>("btn_start"), &QPushButton::click);
    loop.exec();
    run.seconds = bench::seconds_since(start);
    run.done = dialog.state() == DownloadDialog::State::Done;
    return run;
}

void BM_DownloadDialogAllRecords(benchmark::State &state) {
    sim::Options options = sim::in_process_options();
    options.record_commands = false;
    sim::Instrument instrument(options);
    sim::M30Options m30;
    m30.events = false;
    m30.history.records = kRecords;
    sim::M30Model model(instrument, m30);
    MXX_init(nullptr, nullptr, nullptr);
    if (!instrument.start()) return state.SkipWithError("the simulated instrument did not start");
    MXXDevice device;
    char conn[128];
    MXX_make_net_conn_string(conn, "127.0.0.1", instrument.port());
    device.connect(conn);
    if (!waitConnected(device))
        return state.SkipWithError("the simulated instrument was not recognised");
    auto protocol = std::make_shared<M30Protocol>();
    device.registerProtocol(protocol);

    double plain = plainSeconds(*protocol);
    DialogRun run;
    for (auto _ : state)
        run = runDialog(protocol);
    if (!run.done) return state.SkipWithError("the download did not complete");
    state.counters["max_stall_ms"] = run.maxStallMs;
    state.counters["records_per_second"] = kRecords / run.seconds;
    state.counters["points"] = run.points;
    state.counters["ratio_vs_plain_loop"] = run.seconds / plain;
    device.disconnect();
}
BENCHMARK(BM_DownloadDialogAllRecords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    QApplication app(argc, argv);
    // The dialog saves its choice: into a folder of this run, never the user's store.
    QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MXX_shut();
    return 0;
}
