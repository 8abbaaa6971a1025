// The download dialog reading 10 000 stored records from the simulated instrument, as the user
// starts it, while a fast timer on the same event loop measures the longest time the loop did not
// get to run (the longest stall a person would feel). The same transfers in a plain loop, without
// the dialog, are the baseline.
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

#include "../baseline.h"
#include "../simulated_m30.h"
#include "app/downloaddialog.h"
#include "stall_meter.h"

namespace {

using bench::StallMeter;

constexpr int kRecords = 10000;

struct DialogRun {
    double seconds = 0;
    double maxStallMs = 0;
    int points = 0;
    bool done = false;
};

DialogRun runDialog(bench::SimulatedM30 &m30) {
    DialogRun run;
    DownloadDialog dialog(nullptr, m30.protocol(), &m30.device().commands(), 1);
    QObject::connect(&dialog, &DownloadDialog::recordDownloaded,
                     [&](const std::vector<SurveyReading> &readings) {
                         for (const SurveyReading &r : readings)
                             run.points += r.usable();
                     });
    StallMeter stalls;
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    auto start = bench::clock::now();
    stalls.start();
    // Clicked from the event loop, as a person would: the list transfer is inside the measure.
    QTimer::singleShot(0, dialog.findChild<QPushButton *>("btn_start"), &QPushButton::click);
    loop.exec();
    run.seconds = bench::seconds_since(start);
    run.maxStallMs = stalls.maxStallMs();
    run.done = dialog.state() == DownloadDialog::State::Done;
    return run;
}

void BM_DownloadDialogAllRecords(benchmark::State &state) {
    bench::SimulatedM30 m30(kRecords);
    if (const char *error = m30.connect()) return state.SkipWithError(error);
    M30Protocol &protocol = *m30.protocol();

    auto start = bench::clock::now();
    bench::downloadAllRecords(protocol);
    double plain = bench::seconds_since(start);
    DialogRun run;
    for (auto _ : state)
        run = runDialog(m30);
    if (!run.done) return state.SkipWithError("the download did not complete");
    state.counters["max_stall_ms"] = run.maxStallMs;
    state.counters["records_per_second"] = kRecords / run.seconds;
    state.counters["points"] = run.points;
    state.counters["ratio_vs_plain_loop"] = run.seconds / plain;
}
BENCHMARK(BM_DownloadDialogAllRecords)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
