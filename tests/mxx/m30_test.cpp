// The M30 command set: its encodings without a link, and its commands against the simulated
// instrument over loopback.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "command_link.h"
#include "frames.h"
#include "mxx/m30.h"

namespace {

using test::bytes_of;
using test::pattern;

std::vector<uint8_t> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

TEST(M30Encoding, LedWordCarriesTheSelectionInBitsNineAndSix) {
    EXPECT_EQ(M30_led_word(0), 0x1u);
    EXPECT_EQ(M30_led_word(1), 0x201u);
    EXPECT_EQ(M30_led_word(2), 0x41u);
    EXPECT_EQ(M30_led_word(3), 0x241u);
    EXPECT_EQ(M30_led_word(~3), 0x1u);  // other bits of the selection are not sent
}

TEST(M30Encoding, TextFieldsAreCutAtTheirWidthOrPadded) {
    M30_gui_serial s;
    std::memset(&s, 'x', sizeof s);
    M30_put_text(s.serial, "C123456789");
    EXPECT_EQ(std::string(s.serial, 8), "C1234567");  // no NUL when full
    EXPECT_EQ(M30_text(s.serial), "C1234567");
    M30_put_text(s.serial, "ab");
    EXPECT_EQ(std::string(s.serial, 8), std::string("ab\0\0\0\0\0\0", 8));
    EXPECT_EQ(M30_text(s.serial), "ab");
    M30_put_text(s.serial, "");
    EXPECT_EQ(bytes_of(s), std::vector<uint8_t>(8, 0));
}

TEST(M30Encoding, NameServerRecordPutsTheSecondSettingFirst) {
    // An empty first setting and an eight-character second one: the text, then 44 zero bytes.
    std::vector<uint8_t> expected = bytes("10.0.0.1");
    expected.resize(52, 0);
    EXPECT_EQ(bytes_of(M30_make_nameservers("", "10.0.0.1")), expected);

    M30_nameservers both = M30_make_nameservers("192.168.100.200", "8.8.8.8");
    EXPECT_EQ(M30_text(both.second), "8.8.8.8");
    EXPECT_EQ(M30_text(both.first), "192.168.100.200");
    EXPECT_EQ(bytes_of(both)[20], '1');
}

TEST(M30Encoding, GpsCoordinatesDecodeWithTheirHemispheres) {
    uint32_t packed = 4912u | 5000u << 17;  // 49 degrees, 12.5 minutes
    MXX_gps_coords north_east{0x180, packed, packed};
    EXPECT_NEAR(MXX_gps_latitude(north_east), 49.208333, 1e-6);
    EXPECT_NEAR(MXX_gps_longitude(north_east), 49.208333, 1e-6);
    MXX_gps_coords south_west{0, packed, packed};
    EXPECT_NEAR(MXX_gps_latitude(south_west), -49.208333, 1e-6);
    EXPECT_NEAR(MXX_gps_longitude(south_west), -49.208333, 1e-6);
    MXX_gps_coords north_west{MXX_GPS_NORTH, packed, 1u << 31 | 1630u};  // bit 31 is not used
    EXPECT_GT(MXX_gps_latitude(north_west), 0);
    EXPECT_NEAR(MXX_gps_longitude(north_west), -16.5, 1e-9);
}

TEST(M30Encoding, SpectrumKindsTwoAndFourSwap) {
    const int expected[] = {0, 1, 4, 3, 2, 5, 6, 0};
    for (uint16_t kind = 0; kind < std::size(expected); ++kind)
        EXPECT_EQ(M30_spectrum_type(kind), expected[kind]) << kind;
    EXPECT_EQ(M30_spectrum_type(0xFFFF), 0);
}

TEST(M30Encoding, DoseUnitIsTruncatedAndAWildFloatIsNoUnit) {
    M30_total_data t{};
    t.dose_unit = 2.9f;
    EXPECT_EQ(M30_dose_unit(t), M30_UNIT_R);
    t.dose_unit = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(M30_dose_unit(t), -1);
    t.dose_unit = 1e30f;
    EXPECT_EQ(M30_dose_unit(t), -1);
}

TEST(M30Recognition, OnlyASerialStartingWithCIsAnM30) {
    struct {
        uint16_t code;
        std::string payload;
        int accepted;
    } cases[] = {
        {9007, "C0000001", 1}, {9007, "B0000001", 0}, {9007, "", 0}, {9008, "C0000001", 0}};
    for (auto &c : cases) {
        std::string f = test::frame(c.code, c.payload);
        int type = -1;
        EXPECT_EQ(M30_test_probe(0, reinterpret_cast<MXX_frame *>(f.data()), &type, 0), c.accepted)
            << c.code << " " << c.payload;
        EXPECT_EQ(type, MXX_TYPE_M30);  // stored whatever the frame holds
    }
}

class M30Link : public test::CommandLink {};

TEST_F(M30Link, ProbePairRecognisesTheInstrumentWithThreeAttempts) {
    ASSERT_EQ(connect([](int conn_id, int) { return M30_probe(conn_id); }, M30_test_probe), 0);
    EXPECT_EQ(type, MXX_TYPE_M30);
    EXPECT_EQ(MXX_get_cmd_num_try(id), 3);
    auto probes = seen(8007);
    ASSERT_FALSE(probes.empty());
    EXPECT_EQ(probes.front(), bytes(test::frame(8007, "", 100)));
}

TEST_F(M30Link, CommandsCarryTheirCodeRequestAndTimeOut) {
    connect_recognised();
    auto params = pattern<M30_params>();
    auto nuclides = pattern<M30_nuclib_entry>();
    M30_delete_record_request del{-2, 70000, 0xBEEF, 3};
    M30_txbuf_prepare_request prepare{1, 0, {1, 10000, 0, 0}, {}};
    M30_txbuf_chunk_request chunk_request{8170, 0xA1B2C3D4, 1};
    M30_cloud_assay_id_request cloud{{7, 8, 9}, {}};
    M30_nameservers servers = M30_make_nameservers("", "10.0.0.1");
    uint32_t leds = M30_led_word(3);
    int32_t on = 1;
    M30_txbuf_chunk chunk;
    int result = 0;

    struct row {
        uint16_t code;
        std::function<int()> call;
        std::vector<uint8_t> request;
        int timeout_ms;
    } rows[] = {
        {8301, [&] { return M30_set_leds(id, &leds, 1); }, {0x41, 0x02, 0, 0}, 1000},
        {8311, [&] { return M30_record_survey(id, &on, 1); }, {1, 0, 0, 0}, 1000},
        {8202, [&] { return M30_set_params(id, reinterpret_cast<M30_params *>(params.data()), 1); },
         params, 8000},
        {8481,
         [&] {
             return M30_set_nuclide_library(
                 id, reinterpret_cast<M30_nuclib_entry *>(nuclides.data()), 1);
         },
         nuclides, 1000},
        {8312,
         [&] { return M30_delete_record_id(id, &del, 1); },
         {0xFE, 0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00, 0xEF, 0xBE, 0x03, 0x00},
         1000},
        {8437, [&] { return M30_set_nameservers(id, &servers, 1); }, bytes_of(servers), 1000},
        {8411, [&] { return M30_tx_buff_prepare(id, &prepare, nullptr, 1); }, bytes_of(prepare),
         20000},
        {8412, [&] { return M30_tx_buff_get(id, &chunk_request, &chunk, &result, 1); },
         bytes_of(chunk_request), 3000},
        {8565, [&] { return M30_update_cloud_assay_id(id, &cloud, &result, 1); }, bytes_of(cloud),
         15000},
        {8314, [&] { return M30_store_ident(id, 1); }, {}, 10000},
        {8021, [&] { return M30_restart(id, 1); }, {}, 1000},
        {8520, [&] { return M30_init_calib_methods(id, 1); }, {}, 10000},
    };
    for (auto &r : rows) {
        SCOPED_TRACE(r.code);
        EXPECT_EQ(r.call(), MXX_RESULT_OK);
        auto frames = seen(r.code);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(mxx_frame_param(frames[0].data()), static_cast<uint16_t>(r.timeout_ms));
        EXPECT_EQ(payload_of(r.code), r.request);
    }
    EXPECT_EQ(+prepare.args[1], 10000);  // requests are read, never written
}

TEST_F(M30Link, StatusAnswerIsDecodedAndItsOtherBytesKept) {
    connect_recognised();
    auto raw = pattern<M30_status>();
    M30_status sent;
    std::memcpy(&sent, raw.data(), sizeof sent);
    sent.error_flags = M30_ERROR_GPS | M30_ERROR_FS_DATA;
    sent.survey_recording = 1;
    sent.gps_latitude = 49.5f;
    sent.gps_longitude = -16.25f;
    sent.gps_altitude = 310.0f;
    sent.gps_valid = 1;
    answer(M30_CMD_GET_STATUS, bytes_of(sent));

    M30_status status{};
    ASSERT_EQ(M30_get_status(id, &status, 1), MXX_RESULT_OK);
    // Packed fields are read by value: a reference to one may be misaligned.
    EXPECT_EQ(+status.error_flags, 0x404);
    EXPECT_EQ(+status.survey_recording, 1);
    EXPECT_EQ(+status.gps_latitude, 49.5f);
    EXPECT_EQ(+status.gps_longitude, -16.25f);
    EXPECT_EQ(+status.gps_altitude, 310.0f);
    EXPECT_EQ(+status.gps_valid, 1);
    EXPECT_EQ(bytes_of(status), bytes_of(sent));
    EXPECT_TRUE(payload_of(M30_CMD_GET_STATUS).empty());
}

TEST_F(M30Link, ResultIsTheAnswersStatusByte) {
    connect_recognised();
    M30_txbuf_chunk answer_chunk{};
    answer_chunk.length = 3;
    std::memcpy(answer_chunk.data, "abc", 3);
    auto answer_bytes = bytes_of(answer_chunk);
    answer_bytes.resize(8 + 3);  // an answer as long as its chunk
    answer(M30_CMD_TX_BUFF_GET, answer_bytes);

    M30_txbuf_chunk_request request{0, 1, 0};
    M30_txbuf_chunk chunk{};
    int result = -7;
    ASSERT_EQ(M30_tx_buff_get(id, &request, &chunk, &result, 1), MXX_RESULT_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(+chunk.length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(chunk.data), 3), "abc");

    answer(M30_CMD_TX_BUFF_GET, std::vector<uint8_t>{}, 5);
    result = -7;
    EXPECT_EQ(M30_tx_buff_get(id, &request, &chunk, &result, 1), MXX_RESULT_FAILED);
    EXPECT_EQ(result, 5);
    EXPECT_EQ(+chunk.length, 3u);
}

TEST_F(M30Link, UnansweredCommandReturnsZeroAndLeavesOutputsUntouched) {
    connect_recognised();
    MXX_set_cmd_num_try(id, 1);
    answer(M30_CMD_GET_STATUS, std::nullopt);
    answer(M30_CMD_LOAD_GAMMA_BACKUP_PARAMS, std::nullopt);

    M30_status status;
    std::memset(&status, 0xAB, sizeof status);
    const auto before = bytes_of(status);
    EXPECT_EQ(M30_get_status(id, &status, 1), MXX_RESULT_OK);
    EXPECT_EQ(bytes_of(status), before);

    int result = -7;
    EXPECT_EQ(M30_load_gamma_backup_params(id, &result, 1), MXX_RESULT_OK);
    EXPECT_EQ(result, -7);
    EXPECT_EQ(seen(M30_CMD_GET_STATUS).size(), 1u);
}

TEST_F(M30Link, SendOnlyCommandWritesOnceWithoutWaiting) {
    connect_recognised();
    answer(M30_CMD_RECORD_SURVEY, std::nullopt);
    int32_t off = 0;
    EXPECT_EQ(M30_record_survey(id, &off, 0), MXX_RESULT_OK);
    ASSERT_TRUE(instrument.wait_commands(1, test::kDeadline));
    EXPECT_EQ(payload_of(M30_CMD_RECORD_SURVEY), std::vector<uint8_t>(4, 0));
}

TEST_F(M30Link, CommandOnAnUnknownConnectionFailsToWrite) {
    connect_recognised();
    M30_status status{};
    EXPECT_LT(M30_get_status(-1, &status, 1), 0);
    EXPECT_LT(M30_restart(id + 1, 0), 0);
}

}  // namespace
