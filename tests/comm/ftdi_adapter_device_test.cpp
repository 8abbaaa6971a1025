// The FTDI transport over our D2XX adapter, with a scripted chip in place of libftdi1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "comm/ftdi.h"
#include "fake_libftdi.h"
#include "support.h"

namespace {

using test::Recorder;
using Calls = std::vector<std::string>;

class FtdiAdapterDevice : public ::testing::Test {
protected:
    test::ErrorLog log;
    Recorder rec, other;  // outlive the links, which the manager ends
    test::ManagerScope manager;
    fake_chip &chip = fake_ftdi_chip();

    void SetUp() override {
        ::unsetenv("SURVOKART_D2XX_LIBRARY");  // the transport finds the adapter by itself
        set_present(true);
        chip.take_calls();
    }
    void set_present(bool present) {
        {
            std::lock_guard g(chip.lock);
            chip.present = present;
        }
        chip.arrived.notify_all();
    }
};

TEST_F(FtdiAdapterDevice, SetsTheLineEchoesFramesAndEndsWhenUnplugged) {
    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBS/FT12AB/38400/7/3/2/1", Recorder::callback, 4096, 50, &rec),
              0);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED)) << log.text();
    EXPECT_EQ(chip.take_calls(),
              (Calls{"tcoflush", "tciflush", "baud 38400", "line 722", "flow 0x100"}));

    const std::string frame("BRNO\x80\x07\0\0\xff", 9);
    int written = 0;
    EXPECT_EQ(comm_write(id, frame.data(), int(frame.size()), &written, 0), 0);
    EXPECT_EQ(written, int(frame.size()));
    EXPECT_TRUE(test::eventually([&] { return rec.data() == frame; }));

    set_present(false);
    EXPECT_TRUE(rec.wait_for(COMM_EVENT_DISCONNECTED));
    EXPECT_TRUE(log.has("FTDI library: FT_GetStatus: usb bulk read failed")) << log.text();
    comm_disconnect(id);

    // The chip has no five-bit words: the link fails rather than run with eight.
    set_present(true);
    ASSERT_EQ(comm_connect(&id, "USBS/FT12AB/9600/5/1/0/0", Recorder::callback, 4096, 50, &other),
              0);
    EXPECT_TRUE(other.wait_for(COMM_EVENT_CONNECT_FAILED));
    EXPECT_TRUE(log.has("Could not set data characteristics 'FT12AB'!\nFTDI library: "))
        << log.text();
}

// libftdi writes no single word of the checksummed area, which is all the transport writes.
TEST_F(FtdiAdapterDevice, ListsTheChipAndWritesItsWholeEeprom) {
    char descriptions[2 * 64], strings[2 * 128];
    int count = 0;
    ASSERT_EQ(
        comm_list_devices_ftdi(descriptions, strings, 2, &count, nullptr, nullptr, 0x403, 0x6001),
        0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(descriptions, "M30 Dosimeter");
    EXPECT_STREQ(strings, "USBF/FT12AB/0403/6001");

    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBF/FT12AB", Recorder::callback, 4096, 50, &rec), 0);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    uint16_t image[64];
    for (int i = 0; i < 64; ++i)
        image[i] = static_cast<uint16_t>(i * 0x0101 + 0x4003);
    EXPECT_EQ(comm_ftdi_write_eeprom(id, image, 128), 0) << log.text();
    std::lock_guard g(chip.lock);
    EXPECT_EQ(std::memcmp(chip.eeprom, image, sizeof image), 0);
}

}  // namespace
