// The window on links as slow as the field's: a simulated instrument behind each link profile (a
// 115 200-baud serial line, a Bluetooth radio, USB, and loopback for reference), driven through a
// real panel and download dialog while a fast timer measures the longest stall of the event loop.
//
// BM_ShapedLinkWindowStalls: the longest stall while the panel connects, mirrors the display at
// its fastest, presses keys, switches recording and downloads the stored records with the mirror
// still on: what a person feels of the link.
//
// BM_ShapedLinkDownloadVsFloor: the dialog's download time, mirror off, against the link's own
// floor computed in the same run: four round trips per transfer (the list and each record) plus
// the bytes the instrument sent meanwhile at the link's rate (it sends no events here, so those
// are the answers and nothing else).
#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <string>

#include "../baseline.h"
#include "app/downloaddialog.h"
#include "device/commandqueue.h"
#include "device/m30protocol.h"
#include "device/mxxdevice.h"
#include "panel_driver.h"
#include "sim/instrument.h"
#include "sim/m30_model.h"

namespace {

constexpr int kKeyPresses = 6;
// The download may take minutes on a serial line with the mirror pulling pictures beside it.
constexpr int kDownloadTimeoutMs = 30 * 60 * 1000;
// Fixed, so that every run downloads the same records.
constexpr int64_t kNewestRecordTime = 1'790'000'000;

sim::LinkShape shapeOf(int profile, std::string *name) {
    if (profile >= 0 && profile < int(sim::kLinkProfiles.size())) {
        *name = std::string(sim::kLinkProfiles[size_t(profile)].name);
        return sim::kLinkProfiles[size_t(profile)].shape;
    }
    *name = "loopback";
    return {};
}

sim::M30Options history(int records, bool events) {
    sim::M30Options m30;
    m30.events = events;
    m30.history.records = records;
    m30.history.days = 1;
    m30.history.end_time = kNewestRecordTime;
    return m30;
}

// An instrument behind `shape` and a panel connected to it. Without `events`, the link carries
// nothing but the host's commands and their answers.
struct ShapedInstrument {
    ShapedInstrument(const sim::LinkShape &shape, int records, bool events)
        : instrument(options(shape)), model(instrument, history(records, events)) {}
    static sim::Options options(const sim::LinkShape &shape) {
        sim::Options o = sim::in_process_options();
        o.record_commands = false;
        o.link = shape;
        return o;
    }
    sim::Instrument instrument;
    sim::M30Model model;
    DeviceStatusWidget panel;
};

// Opens the download dialog on the panel's instrument, starts it as a person would and runs the
// event loop until it ends; the seconds it took, or a negative number when it did not complete.
double download(DeviceStatusWidget &panel, const std::shared_ptr<M30Protocol> &protocol) {
    DownloadDialog dialog(&panel, protocol, &panel.device().commands(), 1);
    dialog.show();
    auto start = bench::clock::now();
    QTimer::singleShot(0, dialog.findChild<QPushButton *>("btn_start"), &QPushButton::click);
    bench::runUntil(
        [&] {
            return dialog.state() == DownloadDialog::State::Done ||
                   dialog.state() == DownloadDialog::State::Failed;
        },
        kDownloadTimeoutMs);
    const double seconds = bench::seconds_since(start);
    return dialog.state() == DownloadDialog::State::Done ? seconds : -1;
}

// Clicks `button` and runs the loop until its command is back (the panel enables it again).
bool press(QPushButton *button) {
    button->click();
    return bench::runUntil([&] { return button->isEnabled(); }, 60000);
}

bool switchRecording(QComboBox *box, int index) {
    box->setCurrentIndex(index);
    return bench::runUntil([&] { return box->isEnabled(); }, 60000);
}

void BM_ShapedLinkWindowStalls(benchmark::State &state) {
    std::string name;
    const sim::LinkShape shape = shapeOf(int(state.range(0)), &name);
    const int records = int(state.range(1));
    state.SetLabel(name);
    ShapedInstrument shaped(shape, records, true);
    if (!shaped.instrument.start())
        return state.SkipWithError("the simulated instrument did not start");
    DeviceStatusWidget &panel = shaped.panel;
    panel.show();
    double maxStall = 0, connectStall = 0, seconds = -1;
    for (auto _ : state) {
        bench::StallMeter stalls;
        stalls.start();
        if (!bench::connectPanel(panel, shaped.instrument.port(), 60000))
            return state.SkipWithError("the panel did not connect");
        bench::runUntil([] { return false; }, 1000);  // the reads after connecting
        connectStall = stalls.maxStallMs();
        panel.findChild<QComboBox *>("comboBoxDisplay")->setCurrentIndex(1);  // the fastest
        bench::runUntil([] { return false; }, 1000);
        for (int i = 0; i < kKeyPresses; ++i)
            if (!press(panel.findChild<QPushButton *>(i % 2 ? "btnDown" : "btnUp")))
                return state.SkipWithError("a key press got no answer");
        auto *recording = panel.findChild<QComboBox *>("comboBoxRecord");
        if (!switchRecording(recording, 1) || !switchRecording(recording, 0))
            return state.SkipWithError("the recording switch got no answer");
        auto protocol = std::make_shared<M30Protocol>();
        panel.device().registerProtocol(protocol);
        seconds = download(panel, protocol);
        maxStall = stalls.maxStallMs();
        panel.findChild<QComboBox *>("comboBoxDisplay")->setCurrentIndex(0);
    }
    if (seconds < 0) return state.SkipWithError("the download did not complete");
    state.counters["max_stall_ms"] = maxStall;
    state.counters["connect_max_stall_ms"] = connectStall;
    state.counters["download_s_with_mirror"] = seconds;
    state.counters["records"] = records;
}

void BM_ShapedLinkDownloadVsFloor(benchmark::State &state) {
    std::string name;
    const sim::LinkShape shape = shapeOf(int(state.range(0)), &name);
    const int records = int(state.range(1));
    state.SetLabel(name);
    ShapedInstrument shaped(shape, records, false);  // the floor counts the download's bytes only
    if (!shaped.instrument.start())
        return state.SkipWithError("the simulated instrument did not start");
    shaped.panel.show();
    if (!bench::connectPanel(shaped.panel, shaped.instrument.port(), 60000))
        return state.SkipWithError("the panel did not connect");
    auto protocol = std::make_shared<M30Protocol>();
    shaped.panel.device().registerProtocol(protocol);
    bench::runUntil([] { return false; }, 500);  // the reads after connecting
    double seconds = -1;
    int64_t bytes = 0;
    for (auto _ : state) {
        const int64_t before = shaped.instrument.bytes_sent();
        seconds = download(shaped.panel, protocol);
        bytes = shaped.instrument.bytes_sent() - before;
    }
    if (seconds < 0) return state.SkipWithError("the download did not complete");
    const double roundTrip = 2 * shape.latency_ms / 1000;
    const double floor = (records + 1) * 4 * roundTrip +
                         (shape.bytes_per_s > 0 ? double(bytes) / shape.bytes_per_s : 0);
    state.counters["download_s"] = seconds;
    state.counters["floor_s"] = floor;
    state.counters["bytes"] = bytes;
    state.counters["download_vs_floor"] = floor > 0 ? seconds / floor : 0;
}

// Profiles by index into the simulator's table (serial115200, bluetooth, usb), then loopback.
void profiles(benchmark::internal::Benchmark *b, int records) {
    for (int profile = 0; profile <= int(sim::kLinkProfiles.size()); ++profile)
        b->Args({profile, records});
}

BENCHMARK(BM_ShapedLinkWindowStalls)
    ->Apply([](auto *b) { profiles(b, 200); }) -> Unit(benchmark::kMillisecond) -> UseRealTime()
        -> Iterations(1);
BENCHMARK(BM_ShapedLinkDownloadVsFloor)
    ->Apply([](auto *b) { profiles(b, 50); }) -> Unit(benchmark::kMillisecond) -> UseRealTime()
        -> Iterations(1);

}  // namespace
