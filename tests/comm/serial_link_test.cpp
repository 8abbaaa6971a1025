// A USRT connection on a pseudo-terminal: the test holds the far (master) end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

#include "comm/log.h"
#include "comm/serial.h"
#include "support.h"

namespace {

using test::Recorder;

constexpr int kDeadlineMs = 10000;

class Pty {
public:
    Pty() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64] = {};
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0 &&
            ::ptsname_r(m_master, name, sizeof name) == 0)
            m_path = name;
    }
    ~Pty() { close(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &path() const { return m_path; }
    std::string conn_string(int baud = 115200) const {
        return "USRT/(" + m_path + ")/" + std::to_string(baud) + "/8/1/0/0";
    }
    void send(const std::string &bytes) const {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // What one read gets within `wait_ms`.
    std::string read_some(int wait_ms) const {
        pollfd p{m_master, POLLIN, 0};
        char buf[4096];
        if (::poll(&p, 1, wait_ms) != 1 || !(p.revents & POLLIN)) return {};
        ssize_t n = ::read(m_master, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    // At least n bytes, unless the deadline passes first.
    std::string receive(size_t n) const {
        std::string out, more;
        while (out.size() < n && !(more = read_some(kDeadlineMs)).empty())
            out += more;
        return out;
    }
    // Everything that arrives until the line stays quiet for `quiet_ms`.
    std::string drain(int quiet_ms) const {
        std::string out, more;
        while (!(more = read_some(quiet_ms)).empty())
            out += more;
        return out;
    }
    void close() {
        if (m_master >= 0) ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    std::string m_path;
};

// Error lines of the log, from any thread.
std::mutex errors_lock;
std::string errors;
int keep_error(const char *channel, int, const char *text) {
    std::lock_guard g(errors_lock);
    if (std::string(channel) == "ERROR") errors += text;
    return 1;
}

class SerialLink : public ::testing::Test {
protected:
    Recorder rec;  // outlives the manager, whose readers call it
    test::ManagerScope manager;
    Pty pty;

    void SetUp() override {
        ASSERT_FALSE(pty.path().empty());
        log_reset();
        log_seterror(0, 1, 0, 0, nullptr);
        log_redirect(keep_error);
        std::lock_guard g(errors_lock);
        errors.clear();
    }
    void TearDown() override { log_reset(); }

    int open(const std::string &conn_string, int wait_ms = 50, Recorder *to = nullptr) {
        int id = 0;
        EXPECT_EQ(comm_connect(&id, conn_string.c_str(), Recorder::callback, 4096, wait_ms,
                               to ? to : &rec),
                  0);
        return id;
    }
    static std::string logged() {
        std::lock_guard g(errors_lock);
        return errors;
    }
};

TEST_F(SerialLink, CarriesBytesBothWaysAndEndsWhenTheFarEndHangsUp) {
    int id = open(pty.conn_string());
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    EXPECT_EQ(comm_get_state(id), COMM_STATE_CONNECTED);

    const std::string in("BRNO\0\x01\xff\r\n\x11\x13 raw", 16);  // nothing is translated
    pty.send(in);
    ASSERT_TRUE(test::eventually([&] { return rec.data() == in; }));
    const std::string out("BRNO\n\r\0\x7f\x11 out", 14);
    int written = 0;
    EXPECT_EQ(comm_write(id, out.data(), int(out.size()), &written, 1000), 0);
    EXPECT_EQ(written, int(out.size()));
    EXPECT_EQ(pty.receive(out.size()), out);

    pty.close();
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_DISCONNECTED));
    ASSERT_TRUE(test::eventually([&] { return comm_get_state(id) == 0; }));
    comm_disconnect(id);
    EXPECT_EQ(rec.codes().front(), COMM_EVENT_CONNECTED);
    EXPECT_EQ(rec.codes().back(), COMM_EVENT_DISCONNECTED);
}

TEST_F(SerialLink, RefusedOpensReportConnectFailedAndNameThePathAndReason) {
    std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("survokart-serial-" + std::to_string(::getpid()));
    std::ofstream(file) << "not a port";
    struct Case {
        std::string conn, logged;
    };
    const Case cases[] = {
        {"USRT/(/dev/survokart-none)/115200/8/1/0/0",
         "'/dev/survokart-none'! No such file or directory"},
        {"USRT/(" + file.string() + ")/115200/8/1/0/0", file.string() + "'! not a serial port"},
        {pty.conn_string(12345), pty.path() + "'! baud rate 12345 is not a standard rate"},
    };
    for (const Case &c : cases) {
        Recorder failed;
        int id = open(c.conn, 50, &failed);
        ASSERT_TRUE(failed.wait_for(COMM_EVENT_CONNECT_FAILED)) << c.conn;
        comm_disconnect(id);
        EXPECT_EQ(failed.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED}) << c.conn;
        EXPECT_NE(logged().find(c.logged), std::string::npos) << logged();
    }
    std::filesystem::remove(file);

    // One program at a time on a port.
    int first = open(pty.conn_string());
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    Recorder second;
    int other = open(pty.conn_string(), 50, &second);
    ASSERT_TRUE(second.wait_for(COMM_EVENT_CONNECT_FAILED));
    comm_disconnect(other);
    EXPECT_NE(logged().find(pty.path() + "'! in use by another program"), std::string::npos);
    EXPECT_EQ(comm_get_state(first), COMM_STATE_CONNECTED);
    // The port is free again once its connection has ended.
    comm_disconnect(first);
    Recorder third;
    comm_disconnect(open(pty.conn_string(), 50, &third));
    EXPECT_TRUE(third.saw(COMM_EVENT_CONNECTED));
}

// Root passes TIOCEXCL, so a second link of this program gets as far as the lock before it is
// refused; leaving, it must not clear the exclusive mode that the first link set.
TEST_F(SerialLink, RefusedSecondOpenLeavesTheFirstLinksExclusiveModeSet) {
    int watch = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(watch, 0);
    auto exclusive = [watch] {
        int on = -1;
        EXPECT_EQ(::ioctl(watch, TIOCGEXCL, &on), 0);
        return on;
    };
    int first = open(pty.conn_string());
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    EXPECT_EQ(exclusive(), 1);
    Recorder second;
    int other = open(pty.conn_string(), 50, &second);
    ASSERT_TRUE(second.wait_for(COMM_EVENT_CONNECT_FAILED));
    comm_disconnect(other);
    EXPECT_EQ(exclusive(), 1);
    comm_disconnect(first);
    EXPECT_EQ(exclusive(), 0);
    ::close(watch);
}

TEST_F(SerialLink, DisconnectWakesAWaitingReader) {
    int id = open(pty.conn_string(), 60000);  // the reader sits in one long wait
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    auto done = std::async(std::launch::async, [id] { return comm_disconnect(id); });
    ASSERT_EQ(done.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_EQ(rec.codes(), (std::vector<unsigned>{COMM_EVENT_CONNECTED, COMM_EVENT_DISCONNECTED}));
}

// The far end reads nothing, so the write cannot finish: it fails, and what the driver still held
// of it never follows; only what had already crossed the line (into the far end's own buffer,
// 4096 bytes on a pseudo-terminal) is there, ahead of the next write.
TEST_F(SerialLink, TimedOutWriteFailsAndLeavesNothingBehind) {
    int id = open(pty.conn_string());
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    std::string big(1 << 20, 'x');
    int written = -1;
    EXPECT_EQ(comm_write(id, big.data(), int(big.size()), &written, 50), -1);
    EXPECT_EQ(written, 0);
    EXPECT_NE(logged().find("Serial write timeout on '" + pty.path()), std::string::npos);
    EXPECT_EQ(comm_get_state(id), COMM_STATE_CONNECTED);
    EXPECT_LE(pty.drain(100).size(), 4096u);
    EXPECT_EQ(comm_write(id, "next", 4, &written, 1000), 0);
    EXPECT_EQ(pty.receive(4), "next");
    comm_disconnect(id);
}

}  // namespace
