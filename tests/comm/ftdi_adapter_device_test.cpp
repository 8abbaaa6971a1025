// The FTDI transport over our D2XX adapter, with a scripted chip in place of libftdi1: this
// program defines and exports the libftdi1 and libusb calls the adapter makes on an open device,
// and the dynamic linker prefers them to the real libraries'.
#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>

#include "comm/ftdi.h"
#include "support.h"

namespace {

struct {
    std::mutex lock;  // guards everything below
    std::condition_variable arrived;
    bool present = true;  // false: reads fail, as when it is unplugged
    std::string to_host;  // the chip echoes what it is sent
    uint16_t eeprom[64] = {};
} chip;
int token;  // the open device points here

}  // namespace

extern "C" {

ftdi_context *ftdi_new() {
    return new ftdi_context{};
}
void ftdi_free(ftdi_context *f) {
    delete f;
}
int ftdi_set_interface(ftdi_context *, ftdi_interface) {
    return 0;
}
const char *ftdi_get_error_string(ftdi_context *f) {
    return f->error_str;
}
// The instrument, or an ordinary USB-serial cable under FTDI's own ids.
int ftdi_usb_open_desc(ftdi_context *f, int vendor, int product, const char *, const char *serial) {
    bool instrument =
        vendor == 0x1781 && product == 0x0c44 && serial && !std::strcmp(serial, "FT12AB");
    bool cable = vendor == 0x0403 && product == 0x6001 && serial && !std::strcmp(serial, "A9CABLE");
    if (!instrument && !cable) return -3;
    f->usb_dev = reinterpret_cast<libusb_device_handle *>(&token);
    return 0;
}
int ftdi_usb_close(ftdi_context *) {
    return 0;
}
// Waits for bytes up to the USB time-out, as the chip answers each read within its latency.
int ftdi_read_data(ftdi_context *f, unsigned char *buf, int size) {
    std::unique_lock g(chip.lock);
    chip.arrived.wait_for(g, std::chrono::milliseconds(f->usb_read_timeout),
                          [] { return !chip.to_host.empty() || !chip.present; });
    if (!chip.present) {
        f->error_str = "usb bulk read failed";
        return LIBUSB_ERROR_NO_DEVICE;
    }
    size_t n = std::min(static_cast<size_t>(size), chip.to_host.size());
    std::memcpy(buf, chip.to_host.data(), n);
    chip.to_host.erase(0, n);
    return static_cast<int>(n);
}
int ftdi_write_data(ftdi_context *, const unsigned char *buf, int size) {
    std::lock_guard g(chip.lock);
    chip.to_host.append(reinterpret_cast<const char *>(buf), static_cast<size_t>(size));
    chip.arrived.notify_all();
    return size;
}
int ftdi_tciflush(ftdi_context *) {
    return 0;
}
int ftdi_tcoflush(ftdi_context *) {
    return 0;
}
int ftdi_set_baudrate(ftdi_context *, int) {
    return 0;
}
int ftdi_erase_eeprom(ftdi_context *) {
    std::lock_guard g(chip.lock);
    std::memset(chip.eeprom, 0xff, sizeof chip.eeprom);
    return 0;
}
int libusb_control_transfer(libusb_device_handle *, uint8_t type, uint8_t request, uint16_t value,
                            uint16_t index, unsigned char *, uint16_t, unsigned int) {
    std::lock_guard g(chip.lock);
    if (type != 0x40 || request != 0x91 || index >= 64) return LIBUSB_ERROR_PIPE;
    chip.eeprom[index] = value;  // the chip's EEPROM write request
    return 0;
}

}  // extern "C"

namespace {

using test::Recorder;

class FtdiAdapterDevice : public ::testing::Test {
protected:
    test::ErrorLog log;
    Recorder rec, other;  // outlive the links, which the manager ends
    test::ManagerScope manager;

    void SetUp() override {
        ::unsetenv("SURVOKART_D2XX_LIBRARY");  // the transport finds the adapter by itself
        set_present(true);
    }
    void set_present(bool present) {
        {
            std::lock_guard g(chip.lock);
            chip.present = present;
        }
        chip.arrived.notify_all();
    }
};

TEST_F(FtdiAdapterDevice, EchoesFramesAndEndsWhenUnplugged) {
    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBF/FT12AB", Recorder::callback, 4096, 50, &rec), 0);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED)) << log.text();

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

// Opening the cable would take it from its kernel driver, which the user has to ask for.
TEST_F(FtdiAdapterDevice, OpensACableUnderFtdisOwnIdsOnlyWhenAsked) {
    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBF/A9CABLE", Recorder::callback, 4096, 50, &rec), 0);
    EXPECT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));
    comm_disconnect(id);
    ::setenv("SURVOKART_FTDI_GENERIC_IDS", "1", 1);
    ASSERT_EQ(comm_connect(&id, "USBF/A9CABLE", Recorder::callback, 4096, 50, &other), 0);
    EXPECT_TRUE(other.wait_for(COMM_EVENT_CONNECTED));
    comm_disconnect(id);
    ::unsetenv("SURVOKART_FTDI_GENERIC_IDS");
}

// libftdi writes no single word of the checksummed area, which is all the transport writes.
TEST_F(FtdiAdapterDevice, WritesTheWholeEeprom) {
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
