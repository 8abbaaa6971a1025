// The FTDI transport over our libftdi1 adapter on a machine without FTDI devices: the transport
// must find and load the adapter when the vendor's library is missing, and the adapter must
// refuse what it cannot use instead of following it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "comm/ftdi.h"
#include "support.h"

namespace {

using test::Recorder;
using DWORD = unsigned int;
using Handle = void *;
constexpr DWORD FT_INVALID_HANDLE = 1, FT_DEVICE_NOT_FOUND = 2, FT_INVALID_PARAMETER = 6,
                FT_NOT_SUPPORTED = 17;

template <typename F>
F *entry(const char *name) {
    void *lib = ::dlopen(FTDI_ADAPTER_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    return lib ? reinterpret_cast<F *>(::dlsym(lib, name)) : nullptr;
}

class FtdiAdapter : public ::testing::Test {
protected:
    test::ErrorLog log;
    Recorder rec;  // outlives the link, which the manager ends
    test::ManagerScope manager;

    void SetUp() override {
        ::unsetenv("SURVOKART_D2XX_LIBRARY");
        ASSERT_EQ(load_ftdi_dll(), 0) << log.text();
        ASSERT_NE(entry<void>("FT_OpenEx"), nullptr) << "the transport loaded another library";
    }
};

TEST_F(FtdiAdapter, ListsNothingAndFailsToOpenAMissingDeviceWithItsReason) {
    char descriptions[2 * 64], strings[2 * 128];
    int count = 7;
    EXPECT_EQ(
        comm_list_devices_ftdi(descriptions, strings, 2, &count, nullptr, nullptr, 0x403, 0x6001),
        0)
        << log.text();
    EXPECT_EQ(count, 0);

    int id = 0;
    ASSERT_EQ(comm_connect(&id, "USBF/NOSUCH", Recorder::callback, 4096, 50, &rec), 0);
    EXPECT_TRUE(rec.wait_for(COMM_EVENT_CONNECT_FAILED));
    EXPECT_TRUE(log.has("Could not open device 'NOSUCH'!\nFTDI library: FT_OpenEx: "))
        << log.text();
}

// Through the real libftdi1 and libusb to an FT232R under the instruments' own USB ids, which
// umockdev presents (see CMakeLists.txt).
TEST_F(FtdiAdapter, ListsAMockedInstrumentWithItsStrings) {
    if (!std::getenv("SURVOKART_MOCKED_FT232R")) GTEST_SKIP() << "runs under umockdev-run only";
    char descriptions[2 * 64], strings[2 * 128];
    int count = 0;
    ASSERT_EQ(
        comm_list_devices_ftdi(descriptions, strings, 2, &count, nullptr, nullptr, 0x1781, 0x0c44),
        0)
        << log.text();
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(descriptions, "M30 Dosimeter");
    EXPECT_STREQ(strings, "USBF/FT12AB/1781/0c44");
}

TEST_F(FtdiAdapter, RefusesMadeUpHandlesAndMissingArguments) {
    auto open = entry<DWORD(void *, DWORD, Handle *)>("FT_OpenEx");
    auto status = entry<DWORD(Handle, DWORD *, DWORD *, DWORD *)>("FT_GetStatus");
    auto read = entry<DWORD(Handle, void *, DWORD, DWORD *)>("FT_Read");
    auto count = entry<DWORD(DWORD *)>("FT_CreateDeviceInfoList");
    auto detail = entry<DWORD(DWORD, DWORD *, DWORD *, DWORD *, DWORD *, void *, void *, Handle *)>(
        "FT_GetDeviceInfoDetail");
    auto error = entry<const char *()>("survokart_ftd2xx_error");
    ASSERT_TRUE(open && status && read && count && detail && error);

    int not_a_device = 0;
    for (Handle h : {Handle(nullptr), Handle(&not_a_device)}) {
        DWORD n = 9;
        char buf[4];
        EXPECT_EQ(entry<DWORD(Handle)>("FT_Close")(h), FT_INVALID_HANDLE);
        EXPECT_EQ(status(h, &n, &n, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(read(h, buf, 4, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(n, 0u);
    }
    Handle h = &not_a_device;
    EXPECT_EQ(open(nullptr, 1, &h), FT_INVALID_PARAMETER);
    EXPECT_EQ(h, nullptr);
    char serial[] = "FT12AB";
    EXPECT_EQ(open(serial, 1, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(open(serial, 4, &h), FT_NOT_SUPPORTED);  // by location
    EXPECT_EQ(open(serial, 1, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_NE(std::string(error()).find("FT_OpenEx"), std::string::npos);
    EXPECT_STREQ(error(), "");  // told once

    DWORD n = 9;
    EXPECT_EQ(count(nullptr), FT_INVALID_PARAMETER);
    ASSERT_EQ(count(&n), 0u);
    EXPECT_EQ(detail(n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              FT_DEVICE_NOT_FOUND);
}

}  // namespace
