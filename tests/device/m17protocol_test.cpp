// M17Protocol against the simulated instrument: serial, clock and external-flash requests.
#include <QDateTime>
#include <optional>
#include <vector>

#include "device/m17protocol.h"
#include "harness.h"
#include "mxx/m17.h"

namespace {

using Bytes = std::vector<uint8_t>;

class M17ProtocolTest : public test::DeviceTest {
protected:
    std::shared_ptr<M17Protocol> m17 = std::make_shared<M17Protocol>();

    void SetUp() override {
        DeviceTest::SetUp();
        connectDevice();
        ASSERT_TRUE(device->registerProtocol(m17));
    }
};

// The serial's time-out is 100 ms: a slow run may see an answer arrive for the next request,
// so each expectation is awaited rather than taken from the first call.
TEST_F(M17ProtocolTest, AFullWidthSerialComesBackWhole) {
    instrument.set_serial("C1234567");
    EXPECT_TRUE(test::eventually([&] { return m17->getSerial() == "C1234567"; }));
    instrument.set_command(M17_CMD_GET_SERIAL,
                           [](const sim::Command &) { return std::optional<sim::Answer>(); });
    EXPECT_TRUE(test::eventually([&] { return m17->getSerial().isEmpty(); }));
}

TEST_F(M17ProtocolTest, ClockIsReadOnlyFromAnAnswer) {
    instrument.set_command(M17_CMD_GET_TIME, [](const sim::Command &) {
        M17_date_time t{2024, 2, 29, 23, 59, 58};
        sim::Answer a;
        auto *p = reinterpret_cast<const uint8_t *>(&t);
        a.payload.assign(p, p + sizeof t);
        return std::optional(a);
    });
    QDateTime when(QDate(2000, 1, 1), QTime(1, 2, 3, 456));
    ASSERT_TRUE(m17->getTime(when));
    EXPECT_EQ(when, QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58, 0)));

    instrument.set_command(M17_CMD_GET_TIME,
                           [](const sim::Command &) { return std::optional<sim::Answer>(); });
    EXPECT_FALSE(m17->getTime(when));
    EXPECT_EQ(when, QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58, 0)));

    for (M17_date_time bad :
         {M17_date_time{2024, 13, 1, 0, 0, 0}, M17_date_time{2024, 1, 40, 0, 0, 0},
          M17_date_time{2024, 1, 1, 25, 0, 0}}) {
        instrument.set_command(M17_CMD_GET_TIME, [bad](const sim::Command &) {
            sim::Answer a;
            auto *p = reinterpret_cast<const uint8_t *>(&bad);
            a.payload.assign(p, p + sizeof bad);
            return std::optional(a);
        });
        EXPECT_FALSE(m17->getTime(when)) << bad.month << "/" << bad.day << " " << bad.hour;
        EXPECT_EQ(when, QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58, 0)));
    }
}

TEST_F(M17ProtocolTest, FlashWriteOfNothingSendsThePageAlone) {
    EXPECT_TRUE(m17->writeExtFlash(0x0102, nullptr, 0));
    const unsigned char data[] = {9, 8, 7};
    EXPECT_TRUE(m17->writeExtFlash(3, data, 3));
    std::vector<Bytes> writes;
    for (auto &f : instrument.commands_seen()) {
        if (mxx_frame_code(f.data()) != M17_CMD_WRITE_EXT_FLASH) continue;
        const uint8_t *p = mxx_frame_payload(f.data());
        writes.emplace_back(p, p + mxx_frame_length(f.data()) - 1);
    }
    EXPECT_EQ(writes, (std::vector<Bytes>{Bytes{2, 1}, Bytes{3, 0, 9, 8, 7}}));
}

}  // namespace
