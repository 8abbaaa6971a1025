// A private D-Bus daemon with python-dbusmock's BlueZ template on it, made the process's system
// bus (DBUS_SYSTEM_BUS_ADDRESS) for one test, and calls on the mock through sd-bus.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/eventually.h"

extern char **environ;

namespace test {

// Points the system bus at nowhere: no test reaches the machine's own BlueZ.
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

class MockBluez : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("dbus-daemon --version >/dev/null 2>&1") != 0 ||
            std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0)
            GTEST_SKIP() << "dbus-daemon or python3-dbusmock is missing";
        char dir[] = "/tmp/survokart-bt-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        std::string address = "unix:path=" + m_dir + "/bus";
        // The session configuration allows every call, as a test bus should.
        m_daemon = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--nosyslog",
                          "--address=" + address});
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        ASSERT_TRUE(eventually([&] { return sd_bus_open_system(&m_bus) >= 0; }));
        // The Debian package's module, whatever python3 comes first on the path.
        m_mock = spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "bluez5"});
        ASSERT_TRUE(eventually([&] {
            int has = 0;
            return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "NameHasOwner", "s", "org.bluez")
                       .read("b", &has) &&
                   has;
        }));
    }
    void TearDown() override {
        sd_bus_flush_close_unref(m_bus);
        for (pid_t pid : {m_mock, m_daemon})
            if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
        no_system_bus();
    }

    // A method call's answer, or its error name.
    struct Reply {
        sd_bus_message *m = nullptr;
        std::string error;
        Reply() = default;
        Reply(Reply &&o) noexcept : m(std::exchange(o.m, nullptr)), error(std::move(o.error)) {}
        ~Reply() { sd_bus_message_unref(m); }
        template <typename... Out>
        bool read(const char *signature, Out... out) {
            return m && sd_bus_message_read(m, signature, out...) >= 0;
        }
        std::string text() {
            const char *s = nullptr;
            return read("s", &s) ? s : "";
        }
    };
    template <typename... Args>
    Reply call(const char *dest, const std::string &path, const char *iface, const char *method,
               const char *signature, Args... args) {
        Reply r;
        sd_bus_error e{};
        if (sd_bus_call_method(m_bus, dest, path.c_str(), iface, method, &e, &r.m, signature,
                               args...) < 0)
            r.error = e.name ? e.name : "failed";
        sd_bus_error_free(&e);
        return r;
    }

    std::string add_adapter() {
        return call("org.bluez", "/", "org.bluez.Mock", "AddAdapter", "ss", "hci0", "test").text();
    }
    std::string add_device(const char *address, const char *name) {
        return call("org.bluez", "/", "org.bluez.Mock", "AddDevice", "sss", "hci0", address, name)
            .text();
    }
    // Changes one property as BlueZ would, with a PropertiesChanged signal.
    template <typename T>
    void update(const std::string &path, const char *iface, const char *key, const char *type,
                T value) {
        EXPECT_EQ(call("org.bluez", path, "org.freedesktop.DBus.Mock", "UpdateProperties", "sa{sv}",
                       iface, 1, key, type, value)
                      .error,
                  "");
    }
    // How often the mock's object at `path` was called with `method`.
    int calls(const char *path, const char *method) {
        Reply r =
            call("org.bluez", path, "org.freedesktop.DBus.Mock", "GetMethodCalls", "s", method);
        int n = 0;
        if (r.m && sd_bus_message_enter_container(r.m, 'a', "(tav)") >= 0)
            while (sd_bus_message_skip(r.m, "(tav)") > 0)
                ++n;
        return n;
    }

    sd_bus *m_bus = nullptr;  // the test's own connection, main thread only
    std::string m_dir;        // the test's own files, removed with it

private:
    pid_t m_daemon = -1;
    pid_t m_mock = -1;
};

}  // namespace test
