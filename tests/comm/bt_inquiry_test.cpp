// Bluetooth availability and inquiry against python-dbusmock's BlueZ, and without BlueZ at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "bt_mock.h"
#include "comm/bluetooth.h"
#include "comm/comm.h"

namespace {

constexpr int kM30Class = 0xffe050;  // the class the library's inquiries filter for
constexpr uint32_t kPhoneClass = 0x5a020c;

// What the result callback saw on the inquiry thread: every flag, and the last list.
struct Results {
    static int callback(comm_bt_inquiry_result_t *r, int count, int flag, void *user) {
        auto *self = static_cast<Results *>(user);
        std::lock_guard g(self->lock);
        self->flags_seen.push_back(flag);
        self->names_seen.clear();
        for (int i = 0; i < count; ++i)
            self->names_seen.push_back(std::string(r[i].address) + " " + r[i].name);
        return 0;
    }
    std::vector<std::string> names() {
        std::lock_guard g(lock);
        return names_seen;
    }
    std::vector<int> flags() {
        std::lock_guard g(lock);
        return flags_seen;
    }

    std::mutex lock;
    std::vector<int> flags_seen;
    std::vector<std::string> names_seen;
};

std::vector<std::string> waited_strings() {
    std::vector<char> out(BT_MAX_RESULTS * COMM_CONN_STRING_SIZE);
    int count = -1;
    EXPECT_EQ(comm_bt_discover_wait(out.data(), &count), 0);
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i)
        lines.emplace_back(out.data() + i * COMM_CONN_STRING_SIZE);
    return lines;
}

class BtInquiry : public test::MockBluez {
protected:
    Results results;
    void set_class(const std::string &device, uint32_t cls) {
        update(device, "org.bluez.Device1", "Class", "u", cls);
    }
    void TearDown() override {
        comm_bt_discover_cancel();
        bt_ms_set_inquiry_ms(10 * 1280);
        bt_ms_set_call_timeout_ms(5000);
        MockBluez::TearDown();
    }
};

TEST_F(BtInquiry, ListsEachDeviceOnceWithItsLatestNameAndEndsPromptlyOnCancel) {
    add_adapter();
    set_class(add_device("00:11:22:33:44:01", "M30-C1"), kM30Class);
    add_device("00:11:22:33:44:00", "no class");  // class 0: never listed
    bt_ms_set_inquiry_ms(600000);
    ASSERT_EQ(comm_bt_discover(Results::callback, 0, &results), 0);
    ASSERT_TRUE(test::eventually([&] { return results.names().size() == 1; }));

    std::string later = add_device("00:11:22:33:44:03", "first");
    set_class(later, kPhoneClass);
    ASSERT_TRUE(test::eventually([&] { return results.names().size() == 2; }));
    update(later, "org.bluez.Device1", "Name", "s", "second");
    ASSERT_TRUE(test::eventually([&] {
        return results.names() ==
               std::vector<std::string>{"00:11:22:33:44:01 M30-C1", "00:11:22:33:44:03 second"};
    }));

    auto cancel = std::async(std::launch::async, comm_bt_discover_cancel);
    ASSERT_EQ(cancel.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(cancel.get(), 0);
    std::vector<int> flags = results.flags();
    EXPECT_EQ(flags.back(), 1);  // the last call, and the only one that says so
    EXPECT_EQ(std::count(flags.begin(), flags.end(), 1), 1);
    EXPECT_EQ(waited_strings(),
              (std::vector<std::string>{"BLTH/00:11:22:33:44:01/1/9153/60000/16769104/M30-C1",
                                        "BLTH/00:11:22:33:44:03/1/9153/60000/5898764/second"}));
    std::string adapter = "/org/bluez/hci0";
    EXPECT_EQ(calls(adapter.c_str(), "SetDiscoveryFilter"), 1);
    EXPECT_EQ(calls(adapter.c_str(), "StartDiscovery"), 1);
    EXPECT_EQ(calls(adapter.c_str(), "StopDiscovery"), 1);
}

TEST_F(BtInquiry, AClassFilterLeavesOtherDevicesOutAndANamelessOneIsUnknown) {
    add_adapter();
    set_class(add_device("00:11:22:33:44:01", ""), kM30Class);
    set_class(add_device("00:11:22:33:44:02", "phone"), kPhoneClass);
    bt_ms_set_inquiry_ms(200);  // ends by itself
    ASSERT_EQ(comm_bt_discover(Results::callback, kM30Class, &results), 0);
    EXPECT_EQ(waited_strings(),
              std::vector<std::string>{"BLTH/00:11:22:33:44:01/1/9153/60000/16769104/Unknown"});
}

TEST_F(BtInquiry, AvailableOnlyWithAPoweredAdapter) {
    EXPECT_EQ(comm_bt_is_available(), 0);  // BlueZ without an adapter
    ASSERT_EQ(comm_bt_discover(Results::callback, 0, &results), 0);
    EXPECT_EQ(waited_strings(), std::vector<std::string>{});
    EXPECT_EQ(results.flags(), std::vector<int>{1});

    std::string adapter = add_adapter();
    EXPECT_EQ(comm_bt_is_available(), 1);
    update(adapter, "org.bluez.Adapter1", "Powered", "b", 0);
    EXPECT_EQ(comm_bt_is_available(), 0);
}

// A slow BlueZ holds the inquiry thread in a call; the connect dialog cancels from the GUI thread.
TEST_F(BtInquiry, CancelReturnsWhileBluezIsStuckAndNothingIsHeardAfterIt) {
    add_adapter();
    set_class(add_device("00:11:22:33:44:01", "M30-C1"), kM30Class);
    std::string stuck = add_device("00:11:22:33:44:02", "M30-C2");
    std::string entered = m_dir + "/entered", release = m_dir + "/release";
    // The mock is one thread: while this waits, every call to BlueZ waits.
    std::string wait = "open('" + entered + "', 'w').close()\nwhile not os.path.exists('" +
                       release + "'): time.sleep(0.01)\nret = self.props[args[0]]";
    ASSERT_EQ(call("org.bluez", stuck, "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                   "org.freedesktop.DBus.Properties", "GetAll", "s", "a{sv}", wait.c_str())
                  .error,
              "");
    bt_ms_set_inquiry_ms(600000);
    bt_ms_set_call_timeout_ms(600000);  // the stuck call outlasts the guard below
    ASSERT_EQ(comm_bt_discover(Results::callback, 0, &results), 0);
    ASSERT_TRUE(test::eventually([&] { return results.names().size() == 1; }));
    set_class(stuck, kM30Class);  // the thread reads the device again, and waits
    ASSERT_TRUE(test::eventually([&] { return std::filesystem::exists(entered); }));

    auto cancel = std::async(std::launch::async, comm_bt_discover_cancel);
    struct Releaser {
        std::string path;
        ~Releaser() { std::ofstream{path}; }
    } releaser{release};  // before the future waits for the cancel, however the test ends
    ASSERT_EQ(cancel.wait_for(test::kDeadline), std::future_status::ready);
    std::vector<int> told = results.flags();
    EXPECT_EQ(told, (std::vector<int>{0, 1}));  // its end comes with the cancel

    // A new inquiry while the old thread still waits for BlueZ.
    Results next;
    bt_ms_set_inquiry_ms(200);
    ASSERT_EQ(comm_bt_discover(Results::callback, 0, &next), 0);
    std::ofstream{release};
    EXPECT_EQ(waited_strings(),
              (std::vector<std::string>{"BLTH/00:11:22:33:44:01/1/9153/60000/16769104/M30-C1",
                                        "BLTH/00:11:22:33:44:02/1/9153/60000/16769104/M30-C2"}));
    EXPECT_EQ(next.flags().back(), 1);
    // Both threads have made their last call to BlueZ; the cancelled one has nothing to say.
    ASSERT_TRUE(test::eventually([&] { return calls("/org/bluez/hci0", "StopDiscovery") == 2; }));
    EXPECT_EQ(results.flags(), told);
}

TEST(BtWithoutBus, EveryFunctionReturnsCleanly) {
    test::no_system_bus();
    Results results;
    EXPECT_EQ(comm_bt_is_available(), 0);
    EXPECT_EQ(comm_bt_discover_cancel(), 0);  // nothing running
    ASSERT_EQ(comm_bt_discover(Results::callback, 0, &results), 0);
    EXPECT_EQ(waited_strings(), std::vector<std::string>{});
    EXPECT_EQ(results.flags(), std::vector<int>{1});
    int count = 5;
    EXPECT_EQ(comm_bt_discover_wait(nullptr, &count), -1);
    EXPECT_EQ(count, 0);
}

}  // namespace
