// A private D-Bus daemon with python-dbusmock's BlueZ template on it, made the process's system
// bus (DBUS_SYSTEM_BUS_ADDRESS) for one test, and calls on the mock through sd-bus.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/eventually.h"

extern char **environ;

namespace test {

constexpr const char *kPython = "/usr/bin/python3";  // dbusmock is a Debian package

// Points the system bus at nowhere: no test ever reaches the machine's own BlueZ.
inline void no_system_bus() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/survokart-test-bus", 1);
}

inline pid_t spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

inline bool runs(std::vector<std::string> args) {
    pid_t pid = spawn(std::move(args));
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

class MockBluez : public ::testing::Test {
protected:
    void SetUp() override {
        if (!runs({"dbus-daemon", "--version"}) || !runs({kPython, "-c", "import dbusmock"}))
            GTEST_SKIP() << "dbus-daemon or python3-dbusmock is missing";
        char dir_template[] = "/tmp/survokart-bt-XXXXXX";
        ASSERT_NE(::mkdtemp(dir_template), nullptr);
        m_dir = dir_template;
        std::string address = "unix:path=" + m_dir + "/bus";
        // The session configuration allows every call, as a test bus should.
        m_daemon = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--nosyslog",
                          "--address=" + address});
        ASSERT_GT(m_daemon, 0);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        ASSERT_TRUE(eventually([&] { return sd_bus_open_system(&m_bus) >= 0; }));
        m_mock = spawn({kPython, "-m", "dbusmock", "--system", "--template", "bluez5"});
        ASSERT_GT(m_mock, 0);
        ASSERT_TRUE(eventually([&] { return has_owner("org.bluez"); }));
    }
    void TearDown() override {
        sd_bus_flush_close_unref(m_bus);
        for (pid_t pid : {m_mock, m_daemon}) {
            if (pid <= 0) continue;
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
        no_system_bus();
    }

    bool has_owner(const char *name) {
        int has = 0;
        sd_bus_message *reply = nullptr;
        if (sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               name) < 0)
            return false;
        sd_bus_message_read(reply, "b", &has);
        sd_bus_message_unref(reply);
        return has;
    }

    // Calls org.bluez.Mock on the mock's root object; the string it returns, if any.
    std::string mock(const char *method, const char *signature, const char *a, const char *b,
                     const char *c = nullptr) {
        sd_bus_message *reply = nullptr;
        sd_bus_error e = SD_BUS_ERROR_NULL;
        int r = c ? sd_bus_call_method(m_bus, "org.bluez", "/", "org.bluez.Mock", method, &e,
                                       &reply, signature, a, b, c)
                  : sd_bus_call_method(m_bus, "org.bluez", "/", "org.bluez.Mock", method, &e,
                                       &reply, signature, a, b);
        EXPECT_GE(r, 0) << method << ": " << (e.message ? e.message : "");
        sd_bus_error_free(&e);
        const char *text = "";
        if (reply) sd_bus_message_read(reply, "s", &text);
        std::string out = text ? text : "";
        sd_bus_message_unref(reply);
        return out;
    }
    std::string add_adapter() { return mock("AddAdapter", "ss", "hci0", "survokart-test"); }
    std::string add_device(const char *address, const char *name) {
        return mock("AddDevice", "sss", "hci0", address, name);
    }

    // Changes properties as BlueZ would, with a PropertiesChanged signal.
    void set_class(const std::string &path, uint32_t cls) {
        update(path, "org.bluez.Device1", "Class", "u", cls);
    }
    void set_name(const std::string &path, const char *name) {
        update(path, "org.bluez.Device1", "Name", "s", name);
    }
    template <typename T>
    void update(const std::string &path, const char *iface, const char *key, const char *type,
                T value) {
        sd_bus_error e = SD_BUS_ERROR_NULL;
        EXPECT_GE(sd_bus_call_method(m_bus, "org.bluez", path.c_str(), "org.freedesktop.DBus.Mock",
                                     "UpdateProperties", &e, nullptr, "sa{sv}", iface, 1, key, type,
                                     value),
                  0)
            << (e.message ? e.message : "");
        sd_bus_error_free(&e);
    }

    // How often the mock's object at `path` was called with `method`.
    int calls(const char *path, const char *method) {
        sd_bus_message *reply = nullptr;
        if (sd_bus_call_method(m_bus, "org.bluez", path, "org.freedesktop.DBus.Mock",
                               "GetMethodCalls", nullptr, &reply, "s", method) < 0)
            return -1;
        int n = 0;
        if (sd_bus_message_enter_container(reply, 'a', "(tav)") >= 0)
            while (sd_bus_message_skip(reply, "(tav)") > 0)
                ++n;
        sd_bus_message_unref(reply);
        return n;
    }

    sd_bus *m_bus = nullptr;  // the test's own connection, main thread only

private:
    std::string m_dir;
    pid_t m_daemon = -1;
    pid_t m_mock = -1;
};

}  // namespace test
