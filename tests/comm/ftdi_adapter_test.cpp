// The FTDI transport over our libftdi1 adapter, where no FTDI device is attached: the transport
// must find and load it when the vendor's library is missing, and the adapter must refuse what
// it cannot use instead of following it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "comm/ftdi.h"
#include "comm/log.h"
#include "support.h"

namespace {

using test::Recorder;
using DWORD = unsigned int;
constexpr DWORD FT_INVALID_HANDLE = 1, FT_DEVICE_NOT_FOUND = 2, FT_INVALID_PARAMETER = 6,
                FT_NOT_SUPPORTED = 17;

std::mutex errors_lock;
std::string errors;
int keep_error(const char *channel, int, const char *text) {
    std::lock_guard g(errors_lock);
    if (std::string(channel) == "ERROR") errors += text;
    return 1;
}

std::string logged() {
    std::lock_guard g(errors_lock);
    return errors;
}

template <typename F>
F *entry(const char *name) {
    void *lib = ::dlopen(FTDI_ADAPTER_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    return lib ? reinterpret_cast<F *>(::dlsym(lib, name)) : nullptr;
}

class FtdiAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        log_reset();
        log_seterror(0, 1, 0, 0, nullptr);
        log_redirect(keep_error);
        ::unsetenv("SURVOKART_D2XX_LIBRARY");
        ASSERT_EQ(load_ftdi_dll(), 0) << logged();
        ASSERT_NE(::dlopen(FTDI_ADAPTER_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr)
            << "the transport loaded some other library";
    }
    void TearDown() override { log_reset(); }
};

// The test machine has no FTDI device, so the listing is empty rather than failed.
TEST_F(FtdiAdapter, ListsNothingAndFailsToOpenAMissingDeviceWithItsReason) {
    test::ManagerScope manager;
    char descriptions[2 * 64], strings[2 * 128];
    int count = 7;
    EXPECT_EQ(
        comm_list_devices_ftdi(descriptions, strings, 2, &count, nullptr, nullptr, 0x403, 0x6001),
        0)
        << logged();
    EXPECT_EQ(count, 0);

    Recorder rec;
    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBF/NOSUCH", Recorder::callback, 4096, 50, &rec), 0);
    EXPECT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));
    EXPECT_NE(logged().find("Could not open device 'NOSUCH'!\n"), std::string::npos) << logged();
    EXPECT_NE(logged().find("FTDI library: FT_OpenEx: "), std::string::npos) << logged();
    char image[128] = {};
    EXPECT_EQ(comm_ftdi_read_eeprom(id, image, 128), -1);
}

TEST_F(FtdiAdapter, RefusesMadeUpHandlesAndMissingArguments) {
    using Handle = void *;
    auto open = entry<DWORD(void *, DWORD, Handle *)>("FT_OpenEx");
    auto close = entry<DWORD(Handle)>("FT_Close");
    auto status = entry<DWORD(Handle, DWORD *, DWORD *, DWORD *)>("FT_GetStatus");
    auto read = entry<DWORD(Handle, void *, DWORD, DWORD *)>("FT_Read");
    auto write = entry<DWORD(Handle, void *, DWORD, DWORD *)>("FT_Write");
    auto read_ee = entry<DWORD(Handle, DWORD, unsigned short *)>("FT_ReadEE");
    auto count = entry<DWORD(DWORD *)>("FT_CreateDeviceInfoList");
    auto detail = entry<DWORD(DWORD, DWORD *, DWORD *, DWORD *, DWORD *, void *, void *, Handle *)>(
        "FT_GetDeviceInfoDetail");
    auto error = entry<const char *()>("survokart_ftd2xx_error");
    ASSERT_TRUE(open && close && status && read && write && read_ee && count && detail && error);

    int not_a_device = 0;
    for (Handle h : {Handle(nullptr), Handle(&not_a_device)}) {
        DWORD rx = 9, tx = 9, ev = 9, got = 9;
        char buf[4] = {};
        unsigned short word = 0;
        EXPECT_EQ(close(h), FT_INVALID_HANDLE);
        EXPECT_EQ(status(h, &rx, &tx, &ev), FT_INVALID_HANDLE);
        EXPECT_EQ(read(h, buf, 4, &got), FT_INVALID_HANDLE);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(write(h, buf, 4, &got), FT_INVALID_HANDLE);
        EXPECT_EQ(read_ee(h, 0, &word), FT_INVALID_HANDLE);
    }

    Handle h = &not_a_device;
    EXPECT_EQ(open(nullptr, 1, &h), FT_INVALID_PARAMETER);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(open(const_cast<char *>("FT12AB"), 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(open(const_cast<char *>("FT12AB"), 4, &h), FT_NOT_SUPPORTED);
    EXPECT_EQ(open(const_cast<char *>("FT12AB"), 1, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(std::string(error()).find("FT_OpenEx"), std::string::npos);
    EXPECT_STREQ(error(), "");  // told once

    DWORD n = 9;
    EXPECT_EQ(count(nullptr), FT_INVALID_PARAMETER);
    ASSERT_EQ(count(&n), 0u);
    EXPECT_EQ(detail(n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              FT_DEVICE_NOT_FOUND);
}

}  // namespace
