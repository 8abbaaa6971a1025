// Listing and the arrival watch against USB devices that umockdev fakes in /sys (the program runs
// under umockdev-wrapper): the devices are found as the kernel would describe them, never opened.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <string>

#include "comm/log.h"
#include "comm/usb.h"
#include "comm/usb_arrival.h"
#include "support.h"
#include "usb_errors.h"

// umockdev's testbed hands work to a GLib worker thread, and libusb's udev monitor thread shares
// libudev's state with it, through locks and once-guards that ThreadSanitizer cannot see in
// these uninstrumented libraries. Races in our code are still reported.
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libumockdev.so.0\n"
           "called_from_lib:libudev.so.1\n";
}

namespace {

class Testbed {
public:
    Testbed() : m_tb(umockdev_testbed_new()) {}
    ~Testbed() { g_object_unref(m_tb); }
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // A device at /sys/bus/usb/devices/1-<port>, with a serial string when one is given.
    std::string add(int port, int vid, int pid, const char *serial) {
        char id[2][8], devnum[8], node[32];
        std::snprintf(id[0], sizeof id[0], "%.4x", vid);
        std::snprintf(id[1], sizeof id[1], "%.4x", pid);
        std::snprintf(devnum, sizeof devnum, "%d\n", port + 1);
        std::snprintf(node, sizeof node, "/dev/bus/usb/001/%.3d", port + 1);
        std::string name = "1-" + std::to_string(port);
        gchar *sys = umockdev_testbed_add_device(
            m_tb, "usb", name.c_str(), nullptr, "idVendor", id[0], "idProduct", id[1], "busnum",
            "1\n", "devnum", devnum, nullptr, "DEVTYPE", "usb_device", "DEVNAME", node, nullptr);
        std::string path(sys);
        g_free(sys);
        if (serial) umockdev_testbed_set_attribute(m_tb, path.c_str(), "serial", serial);
        // Device descriptor, then a configuration whose interface 0 has bulk IN 0x81, OUT 0x02.
        // clang-format off
        guint8 descriptors[] = {
            18, 1, 0, 2, 0, 0, 0, 64, guint8(vid), guint8(vid >> 8), guint8(pid), guint8(pid >> 8),
            0, 1, 1, 2, guint8(serial ? 3 : 0), 1,
            9, 2, 32, 0, 1, 1, 0, 0x80, 50,
            9, 4, 0, 0, 2, 0xff, 0, 0, 0,
            7, 5, 0x81, 2, 64, 0, 0,
            7, 5, 0x02, 2, 64, 0, 0};
        // clang-format on
        umockdev_testbed_set_attribute_binary(m_tb, path.c_str(), "descriptors", descriptors,
                                              sizeof descriptors);
        return path;
    }
    void uevent(const std::string &sys, const char *action) {
        umockdev_testbed_uevent(m_tb, sys.c_str(), action);
    }
    void unplug(const std::string &sys) {
        uevent(sys, "remove");
        umockdev_testbed_remove_device(m_tb, sys.c_str());
    }

private:
    UMockdevTestbed *m_tb;
};

struct Listing {
    int result = -1;
    std::set<std::string> entries;
};

Listing list(const char *filter, int vid_min, int vid_max, int pid_min, int pid_max, int max = 8) {
    char out[8 * COMM_CONN_STRING_SIZE] = {};
    int count = -1;
    Listing l;
    l.result = comm_list_devices_usb(0, out, max, &count, nullptr, filter, vid_min, vid_max,
                                     pid_min, pid_max);
    for (int i = 0; i < count; ++i)
        l.entries.insert(out + i * COMM_CONN_STRING_SIZE);
    return l;
}

TEST(UsbMock, ListsInstrumentsByIdRangeAndSerialFilter) {
    Testbed tb;
    tb.add(1, 0x1781, 0x0c45, "M30A0001");
    tb.add(2, 0x1781, 0x0c4d, "M30B0002");
    tb.add(3, 0x1781, 0x0c44, "FT0003");  // the FTDI product, listed elsewhere
    tb.add(4, 0x046d, 0xc52b, "LOGI0004");
    tb.add(5, 0x1781, 0x0c46, nullptr);  // named by its place on the bus
    EXPECT_EQ(list(nullptr, 0x1781, 0x1781, 0x0c45, 0x0c4d).result, -1);  // not started
    test::ManagerScope manager;

    using Set = std::set<std::string>;
    EXPECT_EQ(list(nullptr, 0x1781, 0x1781, 0x0c45, 0x0c4d).entries,
              (Set{"USBU/M30A0001/1781/0c45", "USBU/M30B0002/1781/0c4d", "USBU/1-5/1781/0c46"}));
    EXPECT_EQ(list("M3??0002", 0x1781, 0x1781, 0x0c45, 0x0c4d).entries,
              Set{"USBU/M30B0002/1781/0c4d"});
    EXPECT_EQ(list("M30", 0x1781, 0x1781, 0x0c45, 0x0c4d).entries.size(), 2u);
    EXPECT_EQ(list(nullptr, 0, 0, 0, 0).entries.size(), 5u);
    EXPECT_EQ(list(nullptr, 0, 0, 0, 0, 2).entries.size(), 2u);  // no more than room for

    usb_errors::capture();
    EXPECT_EQ(list(std::string(64, '?').c_str(), 0, 0, 0, 0).result, -1);
    EXPECT_EQ(list(nullptr, 0x1782, 0x1781, 0, 0).result, -1);
    EXPECT_EQ(list(nullptr, 0, 0, 0x0c45, 0x10000).result, -1);
    std::string errors = usb_errors::text();
    log_reset();
    EXPECT_NE(errors.find("longer than any serial (63 characters)"), std::string::npos) << errors;
    EXPECT_NE(errors.find("vendor id range 1782..1781 is empty"), std::string::npos) << errors;
    EXPECT_NE(errors.find("product id range 0c45..10000 is empty"), std::string::npos) << errors;
}

void count_call(void *user) {
    ++*static_cast<std::atomic<int> *>(user);
}

// Both ways of learning of changes, each through an arrival and a removal; a device of another
// product of the same vendor does not count.
TEST(UsbMock, ArrivalAndRemovalReachTheCallbackByHotplugAndByLooking) {
    for (usb_watch_mode mode : {USB_WATCH_HOTPLUG, USB_WATCH_POLL}) {
        Testbed tb;
        usb_event_reg_rec record;
        record.mode = mode;
        record.poll_ms = 20;
        std::atomic<int> calls{0};
        ASSERT_EQ(usb_register(&record, count_call, &calls), 0);
        std::string ftdi = tb.add(6, 0x1781, 0x0c44, "FT0006");
        tb.uevent(ftdi, "add");
        std::string m30 = tb.add(7, 0x1781, 0x0c47, "M30C0007");
        tb.uevent(m30, "add");
        EXPECT_TRUE(test::eventually([&] { return calls == 1; })) << mode;
        tb.unplug(m30);
        EXPECT_TRUE(test::eventually([&] { return calls == 2; })) << mode;
        tb.unplug(ftdi);
        usb_deregister(&record);
        EXPECT_EQ(calls, 2) << mode;
    }
}

}  // namespace
