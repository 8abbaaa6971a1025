// The device panel mirroring the simulated instrument's display every 500 ms, as the user turns it
// on, while a fast timer on the same event loop measures the longest stall. Baselines from the
// same run: the idle loop's longest stall with the mirror off, and one plain picture transfer.
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <vector>

#include "../baseline.h"
#include "../simulated_m30.h"
#include "app/connectdialog.h"
#include "app/devicestatuswidget.h"
#include "sim/m30_model.h"
#include "stall_meter.h"

namespace {

constexpr int kMirrorSeconds = 5;
constexpr int kPictureBytes = 160000;

// Runs the event loop for `ms` milliseconds; returns the longest stall meanwhile.
double stallsOver(int ms) {
    bench::StallMeter stalls;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    stalls.start();
    loop.exec();
    return stalls.maxStallMs();
}

// Connects the panel through its own dialog's Net tab, as a user would.
bool connectPanel(DeviceStatusWidget &panel, int port) {
    QTimer pick;
    pick.setInterval(5);
    QObject::connect(&pick, &QTimer::timeout, [&] {
        auto &d = panel.connectDialog();
        if (!d.isVisible()) return;
        d.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(2);
        d.findChild<QCheckBox *>("checkbox_net")->setChecked(true);
        d.findChild<QLineEdit *>("edit_net")->setText("127.0.0.1");
        d.findChild<QCheckBox *>("checkbox_port")->setChecked(false);
        d.findChild<QLineEdit *>("edit_port")->setText(QString::number(port));
        d.findChild<QPushButton *>("connectButton")->click();
    });
    pick.start();
    panel.findChild<QPushButton *>("btn_connect")->click();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (panel.state() == DeviceStatusWidget::Connected) loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return panel.state() == DeviceStatusWidget::Connected;
}

void BM_DisplayMirrorEvery500ms(benchmark::State &state) {
    sim::Instrument instrument(sim::in_process_options());
    sim::M30Model model(instrument, sim::M30Options{});
    if (!instrument.start()) return state.SkipWithError("the simulated instrument did not start");
    DeviceStatusWidget panel;
    panel.show();
    if (!connectPanel(panel, instrument.port()))
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

    double idle = stallsOver(1000);
    double mirrored = 0;
    for (auto _ : state) {
        panel.findChild<QComboBox *>("comboBoxDisplay")->setCurrentIndex(1);
        mirrored = stallsOver(kMirrorSeconds * 1000);
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
