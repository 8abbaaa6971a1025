// MXXDevice against the simulated instrument: connection lifecycle, protocol registration,
// delivery order of posted records, the display name, and destruction under traffic.
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <functional>
#include <type_traits>
#include <vector>

#include "device/mxxwait.h"
#include "device/protocol.h"
#include "harness.h"

namespace {

using test::DeviceTest;
using test::kSignalWaitMs;
using test::spin;

// A device's connect and disconnect are its own, never an overload set with QObject's.
static_assert(std::is_same_v<decltype(&MXXDevice::connect), bool (MXXDevice::*)(const QString &)>);
static_assert(std::is_same_v<decltype(&MXXDevice::disconnect), void (MXXDevice::*)()>);

constexpr int kTestEvent = 10100;
std::atomic<int> hooked{0};  // frames of kTestEvent seen by the hook

// Posts the first payload byte of every kTestEvent frame, as a model's protocol would.
int testHook(int, char *, MXX_frame *frame, void *user) {
    MXXDevice::post(user, 99, QVariant(int(frame->data[0])));
    ++hooked;
    return 0;
}

class RecordingProtocol : public Protocol {
public:
    std::vector<int> seen;
    std::function<void(int)> onRecord;

    int type() const override { return 99; }
    void bind(int connId, QThread *thread) override {
        Protocol::bind(connId, thread);
        MXX_hook_async_event(connId, kTestEvent, testHook);
    }
    void receiveData(QVariant &data) override {
        seen.push_back(data.toInt());
        if (onRecord) onRecord(data.toInt());
    }
};

TEST_F(DeviceTest, ConnectsRegistersOnceAndUnbindsWhenTheLinkDrops) {
    EXPECT_EQ(device->type(), 0);
    EXPECT_EQ(device->connId(), -1);
    auto early = std::make_shared<RecordingProtocol>();
    EXPECT_FALSE(device->registerProtocol(early));  // not recognised yet
    EXPECT_FALSE(early->isBound());

    connectDevice();
    EXPECT_GT(device->connId(), 0);
    EXPECT_EQ(device->connString(), test::netString(instrument.port()));
    EXPECT_FALSE(device->connect(test::netString(instrument.port())));  // one link per device

    auto p = std::make_shared<RecordingProtocol>();
    QSignalSpy bound(p.get(), &Protocol::bindStateChanged);
    EXPECT_TRUE(device->registerProtocol(p));
    EXPECT_FALSE(device->registerProtocol(p));
    ASSERT_EQ(bound.count(), 1);
    EXPECT_TRUE(bound[0][0].toBool());
    EXPECT_EQ(p->connId(), device->connId());

    QSignalSpy disconnected(device.get(), &MXXDevice::disconnected);
    instrument.close_link();
    ASSERT_TRUE(disconnected.wait(kSignalWaitMs));
    EXPECT_EQ(device->type(), 0);
    EXPECT_EQ(device->connId(), -1);
    EXPECT_TRUE(device->connString().isEmpty());
    EXPECT_FALSE(p->isBound());
    ASSERT_EQ(bound.count(), 2);
    EXPECT_FALSE(bound[1][0].toBool());
    EXPECT_FALSE(p->disconnectDevice());

    // The same objects serve the next connection.
    connectDevice();
    EXPECT_TRUE(device->registerProtocol(p));
    EXPECT_TRUE(p->isBound());
    EXPECT_TRUE(p->disconnectDevice());
    ASSERT_TRUE(disconnected.wait(kSignalWaitMs));
    EXPECT_FALSE(p->isBound());
}

// The ending of a link that the device's thread has not heard of yet when connect() opens the
// next one is that link's news, not the new one's.
TEST_F(DeviceTest, EndingOfAnEarlierLinkLeavesTheNewOneAlone) {
    connectDevice();
    auto p = std::make_shared<RecordingProtocol>();
    ASSERT_TRUE(device->registerProtocol(p));
    QSignalSpy disconnected(device.get(), &MXXDevice::disconnected);
    instrument.close_link();
    ASSERT_TRUE(test::eventually([&] { return device->connId() == -1; }));  // events still queued
    connectDevice();
    EXPECT_EQ(disconnected.count(), 0);
    EXPECT_FALSE(p->isBound());
    ASSERT_TRUE(device->registerProtocol(p));
    hooked = 0;
    instrument.send_event(kTestEvent, {4});
    ASSERT_TRUE(spin([&] { return !p->seen.empty(); }));  // the new link's worker still runs
    EXPECT_EQ(p->seen.back(), 4);
}

TEST_F(DeviceTest, RefusedLinkReportsAConnectionErrorAndKeepsTheString) {
    int port = instrument.port();
    instrument.stop();
    QSignalSpy error(device.get(), &MXXDevice::connectionError);
    ASSERT_TRUE(device->connect(test::netString(port)));
    ASSERT_TRUE(error.wait(kSignalWaitMs));
    EXPECT_EQ(device->connId(), -1);
    EXPECT_EQ(device->type(), 0);
    EXPECT_EQ(device->connString(), test::netString(port));
    EXPECT_FALSE(device->connect(QString()));
}

TEST_F(DeviceTest, NameFallsBackToTheDevicePartThenUnknown) {
    EXPECT_EQ(device->name(), "Unknown");
    connectDevice();
    EXPECT_EQ(device->name(), "127.0.0.1");
    device->setName("Field unit");
    EXPECT_EQ(device->name(), "Field unit");
    QSignalSpy disconnected(device.get(), &MXXDevice::disconnected);
    device->disconnect();
    EXPECT_EQ(device->name(), "Unknown");
    ASSERT_TRUE(disconnected.wait(kSignalWaitMs));
    device->setName("Kept while idle");
    EXPECT_EQ(device->name(), "Kept while idle");
}

TEST_F(DeviceTest, BurstReachesEveryProtocolInOrderOnceDespiteANestedLoop) {
    connectDevice();
    auto first = std::make_shared<RecordingProtocol>();
    auto second = std::make_shared<RecordingProtocol>();
    ASSERT_TRUE(device->registerProtocol(first));
    ASSERT_TRUE(device->registerProtocol(second));
    hooked = 0;
    bool secondBehind = false;
    first->onRecord = [&](int value) {
        if (value != 1) return;
        // A modal dialog would spin like this while the rest of the burst arrives.
        test::eventually([] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            return hooked == 3;
        });
        QCoreApplication::processEvents();
        secondBehind = second->seen.empty();
    };
    for (uint8_t v : {1, 2, 3})
        instrument.send_event(kTestEvent, {v});
    ASSERT_TRUE(spin([&] { return second->seen.size() >= 3; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(first->seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(second->seen, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(secondBehind);
}

TEST_F(DeviceTest, EventsHeldBackDuringAWaitArriveWithTheNextOne) {
    connectDevice();
    auto p = std::make_shared<RecordingProtocol>();
    ASSERT_TRUE(device->registerProtocol(p));
    QCoreApplication::postEvent(device.get(), new MXXDeviceEvent(99, QVariant(7)));
    EXPECT_FALSE(MXXWait::idleLoopActive());
    MXXWait::wait(0, 0, 0);
    EXPECT_TRUE(p->seen.empty());
    QCoreApplication::postEvent(device.get(), new MXXDeviceEvent(99, QVariant(8)));
    QCoreApplication::processEvents();
    EXPECT_EQ(p->seen, (std::vector<int>{7, 8}));
}

TEST_F(DeviceTest, OtherEventsAreLeftToTheBase) {
    QEvent other(static_cast<QEvent::Type>(QEvent::User + 7));
    EXPECT_FALSE(QCoreApplication::sendEvent(device.get(), &other));
    MXXDeviceEvent record(99, QVariant(1));
    EXPECT_TRUE(QCoreApplication::sendEvent(device.get(), &record));  // no protocol: dropped
}

// The reader thread keeps calling back while the device goes away; sanitizers watch the rest.
TEST_F(DeviceTest, DestroyedWhileTheConnectionCallsBack) {
    instrument.set_event(kTestEvent, 1, [] { return std::vector<uint8_t>{5}; });
    for (int round = 0; round < 5; ++round) {
        connectDevice();
        auto p = std::make_shared<RecordingProtocol>();
        ASSERT_TRUE(device->registerProtocol(p));
        hooked = 0;
        ASSERT_TRUE(test::eventually([] { return hooked > 3; }));
        device.reset();  // events of this connection are still posted to it
        EXPECT_FALSE(p->isBound());
        QCoreApplication::processEvents();
        device = std::make_unique<MXXDevice>();
    }
    // Gone while the connection is still being opened.
    ASSERT_TRUE(device->connect(test::netString(instrument.port())));
    device.reset();
    QCoreApplication::processEvents();
}

}  // namespace
