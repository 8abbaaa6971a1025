#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "comm/ftdi.h"
#include "fake_d2xx.h"
#include "support.h"

namespace {

using test::Recorder;
using Calls = std::vector<std::string>;

class Ftdi : public ::testing::Test {
protected:
    test::ErrorLog log;
    Recorder rec;
    test::ManagerScope manager;
    fake_d2xx *dev = nullptr;

    void SetUp() override {
        ::setenv("SURVOKART_D2XX_LIBRARY", FAKE_D2XX_LIBRARY, 1);
        dev = fake_d2xx_load(FAKE_D2XX_LIBRARY);  // the transport loads the same one
        ASSERT_NE(dev, nullptr);
        std::lock_guard g(dev->lock);
        dev->devices = {{"FT12AB", "M30 Dosimeter"},
                        {"FT99ZZ", "Other"},
                        {"FT77", ""},
                        {"A9CABLE", "FT232R USB UART", 0x04036001}};  // an ordinary cable
        dev->present = true;
        dev->to_host.clear();
        dev->calls.clear();
    }

    int open(const char *conn_string) {
        int id = 0;
        EXPECT_EQ(comm_connect(&id, conn_string, Recorder::callback, 4096, 50, &rec), 0);
        return id;
    }
    Calls open_and_close(const char *conn_string) {
        dev->take_calls();
        Recorder one;
        int id = 0;
        EXPECT_EQ(comm_connect(&id, conn_string, Recorder::callback, 4096, 50, &one), 0);
        EXPECT_TRUE(one.wait_for(COMM_EVENT_CONNECTED));
        Calls calls = dev->take_calls();
        comm_disconnect(id);
        return calls;
    }
};

TEST(FtdiMissing, EveryOperationFailsWithOneLogLine) {
    ::setenv("SURVOKART_D2XX_LIBRARY", "/nonexistent/libftd2xx.so", 1);
    test::ErrorLog log;
    test::ManagerScope manager;
    Recorder rec;
    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBF/FT12AB", Recorder::callback, 4096, 50, &rec), 0);
    EXPECT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));
    int count = 7;
    EXPECT_EQ(comm_list_devices_ftdi(nullptr, nullptr, 8, &count, nullptr, nullptr, 0x403, 0x6001),
              -1);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log.has("FTDI library could not be loaded")) << log.text();
    char image[128] = {};
    EXPECT_EQ(comm_ftdi_read_eeprom(id, image, 128), -1);
}

TEST_F(Ftdi, OpensAsTheStringSaysAndEchoesFrames) {
    const std::string told = "FT_SetVIDPID 0x1781 0xc44";  // the instruments' ids, for the vendor's
    EXPECT_EQ(open_and_close("USBF/FT12AB"), (Calls{told, "FT_OpenEx flags 1", "FT_Purge 3"}));
    EXPECT_EQ(open_and_close("USBS/FT12AB/38400/8/1/0/0"),
              (Calls{told, "FT_OpenEx flags 1", "FT_Purge 3", "FT_SetBaudRate 38400",
                     "FT_SetDataCharacteristics 8 0 0", "FT_SetFlowControl 0 0 0"}));
    EXPECT_EQ(open_and_close("USBS/FT12AB/9600/7/2/2/1"),
              (Calls{told, "FT_OpenEx flags 1", "FT_Purge 3", "FT_SetBaudRate 9600",
                     "FT_SetDataCharacteristics 7 1 2", "FT_SetFlowControl 0x100 0 0"}));

    Recorder other;
    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBF/FT12AB", Recorder::callback, 4096, 50, &other), 0);
    ASSERT_TRUE(other.wait_for(COMM_EVENT_CONNECTED));
    const std::string frame("BRNO\x80\x07\0\0\xff", 9);
    int written = 0;
    EXPECT_EQ(comm_write(id, frame.data(), int(frame.size()), &written, 0), 0);
    EXPECT_EQ(written, int(frame.size()));
    EXPECT_TRUE(test::eventually([&] { return other.data() == frame; }));
    comm_disconnect(id);

    EXPECT_EQ(comm_connect(&id, "USBF/NOSUCH", Recorder::callback, 4096, 50, &other), 0);
    EXPECT_TRUE(other.wait_for(COMM_EVENT_CONNECT_FAILED));
    EXPECT_TRUE(log.has("Could not open device 'NOSUCH'!"));
}

TEST_F(Ftdi, UnpluggedDeviceEndsTheLinkAndFailsItsWrites) {
    int id = open("USBF/FT12AB");
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    dev->unplug();
    EXPECT_TRUE(rec.wait_for(COMM_EVENT_DISCONNECTED));
    EXPECT_TRUE(log.has("does not answer any more")) << log.text();
    int written = 5;
    comm_write(id, "x", 1, &written, 100);
    EXPECT_EQ(written, 0);
    comm_disconnect(id);

    // The library does not signal an unplug: a reader waiting without limit still notices.
    {
        std::lock_guard g(dev->lock);
        dev->present = true;
    }
    Recorder patient;
    ASSERT_EQ(comm_connect(&id, "USBF/FT12AB", Recorder::callback, 4096, 0, &patient), 0);
    ASSERT_TRUE(patient.wait_for(COMM_EVENT_CONNECTED));
    {
        std::lock_guard g(dev->lock);
        dev->present = false;
    }
    EXPECT_TRUE(patient.wait_for(COMM_EVENT_DISCONNECTED));
    comm_disconnect(id);
}

// Opening an ordinary USB-serial cable through libftdi1 would take it from its kernel driver, so
// it is listed only when the user asks for FTDI's own ids; every device under its own ids.
TEST_F(Ftdi, ListsInstrumentsUnderTheirIdsAndRefusesImpossibleFilters) {
    char descriptions[4 * 64];
    char strings[4 * 128];
    int count = 0;
    dev->take_calls();
    ASSERT_EQ(
        comm_list_devices_ftdi(descriptions, strings, 4, &count, nullptr, nullptr, 0x1781, 0x0c44),
        0);
    EXPECT_EQ(dev->take_calls(), Calls{"FT_SetVIDPID 0x1781 0xc44"});
    ASSERT_EQ(count, 2);  // neither the device without a description nor the cable
    EXPECT_STREQ(descriptions, "M30 Dosimeter");
    EXPECT_STREQ(strings + 128, "USBF/FT99ZZ/1781/0c44");
    ::setenv("SURVOKART_FTDI_GENERIC_IDS", "1", 1);
    int listed =
        comm_list_devices_ftdi(descriptions, strings, 4, &count, "FT232R", nullptr, 0x1781, 0x0c44);
    ::unsetenv("SURVOKART_FTDI_GENERIC_IDS");
    ASSERT_EQ(listed, 0);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(strings, "USBF/A9CABLE/0403/6001");

    ASSERT_EQ(comm_list_devices_ftdi(descriptions, strings, 4, &count, "M30?Dos", "FT??AB", 0x1781,
                                     0x0c44),
              0);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(strings, "USBF/FT12AB/1781/0c44");
    EXPECT_EQ(
        comm_list_devices_ftdi(descriptions, strings, 1, &count, nullptr, nullptr, 0x1781, 0x0c44),
        0);
    EXPECT_EQ(count, 1);  // limited to the room given

    EXPECT_EQ(comm_list_devices_ftdi(descriptions, strings, 4, &count, nullptr,
                                     "FT12AB-far-too-long", 1, 2),
              -1);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log.has("longer than any serial")) << log.text();
}

TEST_F(Ftdi, EepromChecksumIsCheckedAndShortImagesRefused) {
    int id = open("USBF/FT12AB");
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    uint16_t image[64];
    for (int i = 0; i < 63; ++i)
        image[i] = static_cast<uint16_t>(i * 0x0101 + 0x4003);
    uint16_t sum = 0xAAAA;
    for (int i = 0; i < 63; ++i) {
        sum ^= image[i];
        sum = static_cast<uint16_t>((sum << 1) | (sum >> 15));
    }
    image[63] = sum;
    dev->take_calls();
    EXPECT_EQ(comm_ftdi_write_eeprom(id, image, 128), 0);
    Calls calls = dev->take_calls();
    ASSERT_EQ(calls.size(), 65u);
    EXPECT_EQ(calls.front(), "FT_EraseEE");

    uint16_t back[64] = {};
    EXPECT_EQ(comm_ftdi_read_eeprom(id, back, 128), 0);
    EXPECT_EQ(std::memcmp(back, image, 128), 0);

    image[10] ^= 1;
    EXPECT_EQ(comm_ftdi_write_eeprom(id, image, 128), 0);  // writing does not compute it
    EXPECT_EQ(comm_ftdi_read_eeprom(id, back, 128), -1);
    EXPECT_TRUE(log.has("FTDI EEPROM checksum error!"));

    EXPECT_EQ(comm_ftdi_read_eeprom(id, back, 63), -1);
    EXPECT_EQ(comm_ftdi_write_eeprom(id, image, 10), -1);
    EXPECT_TRUE(log.has("is too short"));
    // Half an image would leave the rest erased, the checksum word too: nothing is touched.
    uint16_t kept[64];
    std::memcpy(kept, dev->eeprom, sizeof kept);
    dev->take_calls();
    EXPECT_EQ(comm_ftdi_write_eeprom(id, image, 64), -1);
    EXPECT_EQ(dev->take_calls(), Calls{});
    EXPECT_EQ(std::memcmp(dev->eeprom, kept, sizeof kept), 0);
    EXPECT_TRUE(log.has("FTDI EEPROM image of 64 bytes")) << log.text();
    EXPECT_EQ(comm_ftdi_read_eeprom(id + 1, back, 128), -1);  // no such link
    comm_disconnect(id);
}

}  // namespace
