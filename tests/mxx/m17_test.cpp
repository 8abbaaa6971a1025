// The M17 service commands against the simulated instrument over loopback.
#include <gtest/gtest.h>

#include "command_link.h"
#include "frames.h"
#include "mxx/m17.h"

namespace {

using test::bytes_of;
using test::pattern;

TEST(M17Recognition, AnyGetSerialAnswerIsAServiceInstrument) {
    std::string serial = test::frame(9007, "B0000001");
    std::string other = test::frame(9001, "C0000001");
    int type = -1;
    EXPECT_EQ(M17_test_probe(0, reinterpret_cast<MXX_frame *>(serial.data()), &type, 0), 1);
    EXPECT_EQ(type, MXX_TYPE_M17);
    type = -1;
    EXPECT_EQ(M17_test_probe(0, reinterpret_cast<MXX_frame *>(other.data()), &type, 0), 0);
    EXPECT_EQ(type, MXX_TYPE_M17);
}

class M17Link : public test::CommandLink {};

TEST_F(M17Link, SerialFillsItsEightBytesAndNothingBeyond) {
    instrument.set_serial("C1234567");
    connect_recognised();
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(M17_get_serial(id, buf, 1), MXX_RESULT_OK);
    EXPECT_EQ(std::string(buf, 8), "C1234567");
    EXPECT_EQ(std::string(buf + 8, 8), "xxxxxxxx");
    EXPECT_EQ(mxx_frame_param(seen(M17_CMD_GET_SERIAL).at(0).data()), 100);
}

TEST_F(M17Link, UnansweredSerialLeavesAnEmptyBufferAfterEveryAttempt) {
    connect_recognised();
    answer(M17_CMD_GET_SERIAL, std::nullopt);
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(M17_get_serial(id, buf, 1), MXX_RESULT_OK);
    EXPECT_EQ(std::string(buf, 8), std::string(8, '\0'));
    EXPECT_EQ(std::string(buf + 8, 8), "xxxxxxxx");
    EXPECT_EQ(seen(M17_CMD_GET_SERIAL).size(), 3u);  // recognition set three attempts
}

TEST_F(M17Link, FirmwareVersionIsZeroedThenFilled) {
    connect_recognised();
    answer(M17_CMD_GET_FW_VERSION, std::vector<uint8_t>{'1', '.', '2'});
    char version[M17_FW_VERSION_SIZE];
    std::memset(version, 'x', sizeof version);
    ASSERT_EQ(M17_get_fw_version(id, version, 1), MXX_RESULT_OK);
    EXPECT_EQ(std::string(version, 8), std::string("1.2\0\0\0\0\0", 8));
}

TEST_F(M17Link, ClockAndRevisionTravelAsRecords) {
    connect_recognised();
    M17_date_time sent{2024, 5, 17, 13, 45, 59};
    answer(M17_CMD_GET_TIME, bytes_of(sent));
    M17_date_time got{};
    ASSERT_EQ(M17_get_time(id, &got, 1), MXX_RESULT_OK);
    EXPECT_EQ(bytes_of(got), bytes_of(sent));

    M17_date_time set{2025, 1, 2, 3, 4, 5};
    ASSERT_EQ(M17_set_time(id, &set, 1), MXX_RESULT_OK);
    EXPECT_EQ(payload_of(M17_CMD_SET_TIME),
              (std::vector<uint8_t>{0xE9, 7, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,
                                    3,    0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0}));

    answer(M17_CMD_GET_MODEL_REV, std::nullopt);
    MXX_set_cmd_num_try(id, 1);
    M17_model_rev revision{-9};
    EXPECT_EQ(M17_get_model_rev(id, &revision, 1), MXX_RESULT_OK);
    EXPECT_EQ(+revision.revision, -9);  // no answer: untouched
}

TEST_F(M17Link, ExtFlashPagesTravelWithTheirPageNumber) {
    connect_recognised();
    auto page = pattern<uint8_t[M17_EXT_FLASH_PAGE_SIZE]>();
    answer(M17_CMD_READ_EXT_FLASH, page);
    uint8_t data[M17_EXT_FLASH_PAGE_SIZE] = {};
    ASSERT_EQ(M17_read_ext_flash(id, 0x0102, data, 1), MXX_RESULT_OK);
    EXPECT_EQ(bytes_of(data), page);
    EXPECT_EQ(payload_of(M17_CMD_READ_EXT_FLASH), (std::vector<uint8_t>{0x02, 0x01}));

    ASSERT_EQ(M17_write_ext_flash(id, 7, nullptr, 0, 1), MXX_RESULT_OK);
    EXPECT_EQ(payload_of(M17_CMD_WRITE_EXT_FLASH), (std::vector<uint8_t>{7, 0}));
    instrument.clear_commands();
    const uint8_t three[] = {0xA, 0xB, 0xC};
    ASSERT_EQ(M17_write_ext_flash(id, 0xFFFF, three, 3, 1), MXX_RESULT_OK);
    EXPECT_EQ(payload_of(M17_CMD_WRITE_EXT_FLASH),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xA, 0xB, 0xC}));
    EXPECT_EQ(mxx_frame_param(seen(M17_CMD_WRITE_EXT_FLASH).at(0).data()), 10000);
}

TEST_F(M17Link, ExtFlashWriteTooLongForAFrameIsRefusedUnsent) {
    connect_recognised();
    std::vector<uint8_t> too_long(M17_WRITE_EXT_FLASH_MAX + 1, 0x5A);
    EXPECT_EQ(M17_write_ext_flash(id, 1, too_long.data(), M17_WRITE_EXT_FLASH_MAX + 1, 1), -1);
    EXPECT_EQ(M17_write_ext_flash(id, 1, too_long.data(), 65534, 1), -1);
    EXPECT_EQ(M17_write_ext_flash(id, 1, nullptr, 1, 1), -1);
    // Something sent after them is the first frame the instrument sees.
    ASSERT_EQ(M17_restart(id), MXX_RESULT_OK);
    ASSERT_TRUE(instrument.wait_commands(1, test::kDeadline));
    EXPECT_EQ(mxx_frame_code(instrument.commands_seen().at(0).data()), M17_CMD_RESTART);
}

TEST_F(M17Link, EraseHandsBackTheAnswersParameter) {
    connect_recognised();
    answer(M17_CMD_ERASE_EXT_FLASH, std::vector<uint8_t>{}, 0, 0x1234);
    int parameter = -1;
    ASSERT_EQ(M17_erase_ext_flash(id, &parameter, 1), MXX_RESULT_OK);
    EXPECT_EQ(parameter, 0x1234);
    EXPECT_EQ(mxx_frame_param(seen(M17_CMD_ERASE_EXT_FLASH).at(0).data()), 180000 % 65536);
}

TEST_F(M17Link, RestartAndProbeAreSentWithoutAwaiting) {
    connect_recognised();
    answer(M17_CMD_RESTART, std::nullopt);
    answer(M17_CMD_GET_SERIAL, std::nullopt);
    EXPECT_EQ(M17_restart(id), MXX_RESULT_OK);
    EXPECT_EQ(M17_probe(id), MXX_RESULT_OK);
    ASSERT_TRUE(instrument.wait_commands(2, test::kDeadline));
    std::string probe = test::frame(8007, "", 100);
    EXPECT_EQ(seen(M17_CMD_GET_SERIAL).at(0), std::vector<uint8_t>(probe.begin(), probe.end()));
    EXPECT_TRUE(payload_of(M17_CMD_RESTART).empty());
}

}  // namespace
