// The window while it watches three instruments at their highest event rate: the longest stall of
// its event loop with every timeline and spectrum window open and redrawing, against the same
// window in the same run with them closed. The plots are worth having only if the window keeps
// answering while they update.
#include <QApplication>
#include <QToolButton>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "app/devicestatuswidget.h"
#include "app/mainwindow.h"
#include "panel_driver.h"
#include "sim/instrument.h"
#include "sim/m30_model.h"

namespace {

constexpr int kMeasureMs = 5000;
constexpr int kSettleMs = 1000;

struct Instrument {
    Instrument() : instrument(sim::in_process_options()), model(instrument, fastest()) {}
    static sim::M30Options fastest() {
        sim::M30Options m30;
        m30.rate_hz = 50;
        m30.spectrum_period_ms = 500;
        return m30;
    }
    sim::Instrument instrument;
    sim::M30Model model;
};

void BM_WatchPlotsWhileLive(benchmark::State &state) {
    std::vector<std::unique_ptr<Instrument>> instruments;
    MainWindow window;
    window.show();
    for (int n = 1; n <= 3; ++n) {
        instruments.push_back(std::make_unique<Instrument>());
        instruments.back()->instrument.start();
        if (!bench::connectPanel(window.panel(n), instruments.back()->instrument.port()))
            return state.SkipWithError("a panel did not connect");
    }
    double closed = 0, open = 0;
    for (auto _ : state) {
        closed = bench::stallsOver(kMeasureMs);
        for (int n = 1; n <= 3; ++n)
            for (const char *plot : {"btn_timeline", "btn_spectrum"})
                window.panel(n).findChild<QToolButton *>(plot)->click();
        const double opening = bench::stallsOver(kSettleMs);  // their first layout and paint
        state.counters["stall_ms_opening"] = opening;
        open = bench::stallsOver(kMeasureMs);
    }
    state.counters["stall_ms_plots_closed"] = closed;
    state.counters["stall_ms_plots_open"] = open;
    state.counters["x_closed"] = closed > 0 ? open / closed : 0;
    window.close();
}

}  // namespace

BENCHMARK(BM_WatchPlotsWhileLive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
