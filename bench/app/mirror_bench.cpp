// The device panel mirroring the simulated instrument's display every 500 ms, as the user turns it
// on, while a fast timer on the same event loop measures the longest stall. Baselines from the
// same run: the idle loop's longest stall with the mirror off, and one plain picture transfer.
#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <vector>

#include "../baseline.h"
#include "../simulated_m30.h"
#include "app/connectdialog.h"
#include "app/devicestatuswidget.h"
#include "panel_driver.h"
#include "sim/m30_model.h"
#include "stall_meter.h"

namespace {

constexpr int kMirrorSeconds = 5;
constexpr int kPictureBytes = 160000;

void BM_DisplayMirrorEvery500ms(benchmark::State &state) {
    sim::Instrument instrument(sim::in_process_options());
    sim::M30Model model(instrument, sim::M30Options{});
    if (!instrument.start()) return state.SkipWithError("the simulated instrument did not start");
    DeviceStatusWidget panel;
    panel.show();
    if (!bench::connectPanel(panel, instrument.port()))
        return state.SkipWithError("the panel did not connect");

    // One picture transfer on its own, through a protocol of the same link.
    auto plain = std::make_shared<M30Protocol>();
    panel.device().registerProtocol(plain);
    std::vector<char> picture(kPictureBytes);
    int length = 0;
    auto start = bench::clock::now();
    constexpr int kPlainPictures = 10;
    for (int i = 0; i < kPlainPictures; ++i)
        plain->txBuffDownload(8, 1, 0, 0, 0, 0, nullptr, nullptr, nullptr, picture.data(),
                              kPictureBytes, &length);
    double pictureMs = bench::seconds_since(start) * 1000 / kPlainPictures;

    double idle = bench::stallsOver(1000);
    double mirrored = 0;
    for (auto _ : state) {
        panel.findChild<QComboBox *>("comboBoxDisplay")->setCurrentIndex(1);
        mirrored = bench::stallsOver(kMirrorSeconds * 1000);
        panel.findChild<QComboBox *>("comboBoxDisplay")->setCurrentIndex(0);
    }
    state.counters["max_stall_ms"] = mirrored;
    state.counters["idle_max_stall_ms"] = idle;
    state.counters["picture_ms"] = pictureMs;
    state.counters["picture_bytes"] = length;
    state.counters["stall_vs_plain_picture"] = mirrored / pictureMs;
}
BENCHMARK(BM_DisplayMirrorEvery500ms)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
