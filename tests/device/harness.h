// A simulated instrument on an ephemeral loopback port and a device connected to it.
#pragma once

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QString>
#include <memory>
#include <string>

#include "comm/conn_string.h"
#include "common/eventually.h"
#include "device/devicelibrary.h"
#include "device/mxxdevice.h"
#include "mxx/mxx.h"
#include "sim/instrument.h"

namespace test {

constexpr int kSignalWaitMs = 10000;

inline QString netString(int port) {
    char conn[COMM_CONN_STRING_SIZE];
    MXX_make_net_conn_string(conn, "127.0.0.1", port);
    return QString::fromLatin1(conn);
}

// Waits on the event loop, so posted events and queued signals are delivered meanwhile.
inline bool spin(const std::function<bool()> &condition) {
    return eventually([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return condition();
    });
}

class DeviceTest : public ::testing::Test {
protected:
    sim::Instrument instrument{sim::in_process_options()};
    // Started here unless the test program runs the library for all its tests, as main does;
    // stopped only by whoever started it.
    DeviceLibrary library;
    std::unique_ptr<MXXDevice> device;

    void SetUp() override {
        if (!DeviceLibrary::isRunning()) {
            ASSERT_EQ(library.start(), QString());
        }
        instrument.set_commands(8000, 8999, sim::succeed());  // until a test scripts one
        std::string error;
        ASSERT_TRUE(instrument.start(&error)) << error;
        device = std::make_unique<MXXDevice>();
    }
    void TearDown() override {
        device.reset();
        library.stop();
    }

    // Connects and waits until the device has announced the recognised instrument.
    void connectDevice() {
        QSignalSpy connected(device.get(), &MXXDevice::connected);
        ASSERT_TRUE(device->connect(netString(instrument.port())));
        ASSERT_TRUE(connected.wait(kSignalWaitMs));
        ASSERT_EQ(device->type(), 12);
        instrument.clear_commands();
    }
};

}  // namespace test
