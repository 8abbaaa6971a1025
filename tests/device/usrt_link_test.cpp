// A device on a USRT link to the simulated M30 served on a pseudo-terminal: recognition, live
// status, a download, and the instrument dropping the line.
#include <cstring>

#include "device/m30protocol.h"
#include "device/surveyrecord.h"
#include "harness.h"
#include "sim/m30_model.h"

namespace {

using test::kSignalWaitMs;

constexpr int64_t kNewest = 1'790'000'000;  // the newest stored record's time

sim::Options serialInstrument() {
    sim::Options o = sim::in_process_options();
    o.pty = true;
    return o;
}

sim::M30Options fieldInstrument() {
    sim::M30Options o;
    o.rate_hz = 20;
    o.error_flags = 0x0104;
    o.history.records = 3;
    o.history.end_time = kNewest;
    return o;
}

QString serialString(const std::string &path) {
    char conn[COMM_CONN_STRING_SIZE];
    EXPECT_EQ(comm_make_conn_string_serial_path(conn, path.c_str(), 115200, 8, 1, 0, 0), 0);
    return QString::fromLatin1(conn);
}

class UsrtLink : public ::testing::Test {
protected:
    sim::Instrument instrument{serialInstrument()};
    sim::M30Options m30Options = fieldInstrument();
    sim::M30Model model{instrument, m30Options};
    std::unique_ptr<MXXDevice> device;

    void SetUp() override {
        ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
        std::string error;
        ASSERT_TRUE(instrument.start(&error)) << error;
        device = std::make_unique<MXXDevice>();
    }
    void TearDown() override {
        device.reset();
        MXX_shut();
    }
};

TEST_F(UsrtLink, RecognisesStreamsDownloadsAndEndsWhenTheLineDrops) {
    QSignalSpy connected(device.get(), &MXXDevice::connected);
    ASSERT_TRUE(device->connect(serialString(instrument.pty_path())));
    ASSERT_TRUE(connected.wait(kSignalWaitMs));
    EXPECT_EQ(device->type(), M30Protocol::kType);
    EXPECT_EQ(device->name().toStdString(), instrument.pty_path());

    auto m30 = std::make_shared<M30Protocol>();
    ASSERT_TRUE(device->registerProtocol(m30));
    QSignalSpy status(m30.get(), &M30Protocol::statusData);
    ASSERT_TRUE(m30->setEventFilter(M30_EVENT_FILTER_ALL));  // as a host does after connecting
    ASSERT_TRUE(test::spin([&] { return status.count() > 0; }));
    auto first = status[0][0].value<std::shared_ptr<M30_status>>();
    EXPECT_EQ(uint16_t{first->error_flags}, 0x0104);

    // The record list, then the newest record, in chunks over the line.
    std::vector<char> list(SURVEY_LIST_BYTES);
    int count = 0;
    ASSERT_TRUE(m30->txBuffDownload(1, 0, 1, SURVEY_LIST_MAX, 0, 0, &count, nullptr, nullptr,
                                    list.data(), static_cast<int>(list.size()), nullptr));
    std::vector<int32_t> ids =
        decodeSurveyList(reinterpret_cast<uint8_t *>(list.data()), list.size(), count);
    ASSERT_EQ(ids, (std::vector<int32_t>{1, 2, 3}));
    std::vector<char> record(SURVEY_RECORD_BYTES, 0);
    int length = 0;
    ASSERT_TRUE(m30->txBuffDownload(3, 0, ids.back(), 1, 0, 0, nullptr, nullptr, nullptr,
                                    record.data(), static_cast<int>(record.size()), &length));
    EXPECT_EQ(length, SURVEY_RECORD_BYTES);
    SurveyRecord r = decodeSurveyRecord(reinterpret_cast<uint8_t *>(record.data()), record.size());
    EXPECT_EQ(r.time, uint32_t(kNewest));
    sim::Walk walk(m30Options.walk);
    sim::SurveyMemory memory(walk, m30Options.history);
    std::optional<sim::SurveyRecord> stored = memory.record(ids.back());
    ASSERT_TRUE(stored);
    size_t withFix = 0;
    for (const sim::SurveyPoint &p : stored->points)
        withFix += p.valid ? 1 : 0;
    EXPECT_EQ(r.points.size(), withFix);

    QSignalSpy disconnected(device.get(), &MXXDevice::disconnected);
    instrument.close_link();  // the line drops: the host sees a hang-up
    ASSERT_TRUE(disconnected.wait(kSignalWaitMs));
    EXPECT_EQ(device->connId(), -1);
}

}  // namespace
