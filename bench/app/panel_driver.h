// Drives a device panel as a user does, for the benchmarks that measure what the window feels.
#pragma once

#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <functional>

#include "app/connectdialog.h"
#include "app/devicestatuswidget.h"
#include "stall_meter.h"

namespace bench {

// Runs the event loop until `done` holds, checked every 5 ms, or `timeoutMs` has passed; returns
// whether it held.
inline bool runUntil(const std::function<bool()> &done, int timeoutMs) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done()) loop.exec();
    return done();
}

// Runs the event loop for `ms` milliseconds; returns the longest stall meanwhile.
inline double stallsOver(int ms) {
    StallMeter stalls;
    stalls.start();
    runUntil([] { return false; }, ms);
    return stalls.maxStallMs();
}

// Connects the panel through its own dialog's Net tab, as a user would.
inline bool connectPanel(DeviceStatusWidget &panel, int port, int timeoutMs = 10000) {
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
    return runUntil([&] { return panel.state() == DeviceStatusWidget::Connected; }, timeoutMs);
}

}  // namespace bench
