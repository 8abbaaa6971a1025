#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstring>
#include <thread>

#include "device/devicelibrary.h"
#include "device/mxxnetseeker.h"
#include "device/mxxseeker.h"
#include "harness.h"

namespace {

using test::spin;
using Table = QHash<QString, QString>;

// A seeker whose network answers are set by the test; queries are counted, never sent.
class FedSeeker : public MXXSeeker {
public:
    MXX_broadcast_list_t replies{};
    int resets = 0;
    int queries = 0;

    MXX_broadcast_list_t netReplies() const override { return replies; }
    void resetNetReplies() override {
        ++resets;
        replies = {};
    }
    int sendNetQuery() override { return ++queries, 0; }

    // Fields are copied without their terminating zero when they fill the field.
    void answer(const char *name, const char *first, const char *second) {
        MXX_broadcast_entry &e = replies.entries[replies.count++];
        e = {};
        std::memcpy(e.key, name, std::min(std::strlen(name), sizeof e.key));
        std::memcpy(e.address, first, std::min(std::strlen(first), sizeof e.address));
        std::memcpy(e.text, second, std::min(std::strlen(second), sizeof e.text));
    }
};

TEST(SeekerTest, NetListTicksAndAnswers) {
    FedSeeker seeker;
    QSignalSpy addresses(&seeker, &MXXSeeker::discoveredNetDevices);
    QSignalSpy names(&seeker, &MXXSeeker::discoveredNetDevicesName);

    // Nobody answers: one empty list and one new query every 16 ticks, nothing in between.
    for (int tick = 1; tick <= 2 * MXXSeeker::kTicksPerQuery; ++tick) {
        seeker.updateNetList();
        int queries = tick / MXXSeeker::kTicksPerQuery;
        ASSERT_EQ(addresses.count(), queries) << "tick " << tick;
        ASSERT_EQ(seeker.queries, queries);
        ASSERT_EQ(seeker.resets, queries);
    }
    EXPECT_TRUE(addresses.at(0).at(0).value<QList<QString>>().isEmpty());
    EXPECT_EQ(names.count(), 0);

    addresses.clear();
    seeker.answer("A", "10.0.0.1", "fe80::9");
    seeker.answer("X", "", "");                   // nothing to reach it by
    seeker.answer("B", "", "fe80::2");            // only the second address
    seeker.answer("M30-123456", "10.0.0.1", "");  // a full name field, and a later name
    seeker.updateNetList();
    ASSERT_EQ(addresses.count(), 1);
    ASSERT_EQ(names.count(), 1);
    EXPECT_EQ(addresses.at(0).at(0).value<QList<QString>>(),
              (QList<QString>{"10.0.0.1", "fe80::2", "10.0.0.1"}));
    const Table expected{{"10.0.0.1", "M30-123456"}, {"fe80::2", "B"}};
    EXPECT_EQ(names.at(0).at(0).value<Table>(), expected);
}

TEST(SeekerTest, EverySeekerHearsUsbChangesAndOnlyTheLibrarysOwnerStopsIt) {
    ASSERT_EQ(MXX_get_conn_state_id(1), -1);
    {
        DeviceLibrary library;
        ASSERT_EQ(library.start(), QString());
        auto first = std::make_unique<MXXSeeker>();
        auto second = std::make_unique<MXXSeeker>();
        QSignalSpy firstHeard(first.get(), &MXXSeeker::deviceUSBListChanged);
        QSignalSpy secondHeard(second.get(), &MXXSeeker::deviceUSBListChanged);

        std::thread watch([] { MXXSeeker::usbListChanged(nullptr); });
        watch.join();
        EXPECT_TRUE(spin([&] { return firstHeard.count() == 1 && secondHeard.count() == 1; }));

        first.reset();
        second.reset();
        EXPECT_EQ(MXX_get_conn_state_id(1), 0) << "a seeker stopped the library";
    }
    EXPECT_EQ(MXX_get_conn_state_id(1), -1);

    // Without the library a seeker finds nothing, and does not start it behind its owner's back.
    MXXSeeker idle;
    std::vector<QString> usb{"stale"};
    EXPECT_NE(idle.listUSBDevices(usb), 0);
    EXPECT_TRUE(usb.empty());
    EXPECT_NE(idle.discoverBT(), 0);
    EXPECT_NE(idle.sendNetQuery(), 0);
    idle.discoverNet();
    idle.cancelDiscoverNet();
    EXPECT_EQ(MXX_get_conn_state_id(1), -1);
}

TEST(SeekerTest, NetSeekerReadsAReplyThatArrivesInPieces) {
    QTcpServer host;
    ASSERT_TRUE(host.listen(QHostAddress::LocalHost));
    MXXNetSeeker seeker("127.0.0.1", host.serverPort());
    QSignalSpy found(&seeker, &MXXNetSeeker::devicesFound);
    seeker.seekForDevices();

    ASSERT_TRUE(spin([&] { return host.hasPendingConnections(); }));
    QTcpSocket *peer = host.nextPendingConnection();
    ASSERT_TRUE(spin([&] { return peer->bytesAvailable() >= 5; }));
    EXPECT_EQ(peer->readAll(), QByteArray("list", 5));

    // Length 16, split after its first byte.
    QByteArray reply = QByteArray::fromRawData("\x00\x10", 2) + QByteArray("a|1 b| c");
    reply.append(18 - reply.size(), '\0');
    auto *client = seeker.findChild<QTcpSocket *>();
    ASSERT_NE(client, nullptr);
    peer->write(reply.left(1));
    ASSERT_TRUE(spin([&] { return client->bytesAvailable() == 1; }));
    EXPECT_EQ(found.count(), 0);

    peer->write(reply.mid(1));
    ASSERT_TRUE(spin([&] { return found.count() == 1; }));
    EXPECT_EQ(found.at(0).at(0).toString(), "127.0.0.1");
    const Table expected{{"a", "1"}, {"b", ""}, {"c", ""}};
    EXPECT_EQ(found.at(0).at(1).value<Table>(), expected);
    EXPECT_EQ(client->state(), QAbstractSocket::UnconnectedState);
}

}  // namespace
