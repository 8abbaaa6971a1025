// USBU links over the scripted device behind the transport's libusb seam: bytes both ways, a
// disconnect waking a waiting reader, a device that goes away or refuses, and an M30 recognised
// and answering over the link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "mxx/m30.h"
#include "mxx/mxx.h"
#include "mxx/recognition.h"
#include "sim/m30_model.h"
#include "support.h"
#include "usb_errors.h"
#include "usb_fake.h"

namespace {

using test::Recorder;

constexpr const char *kLink = "USBU/M30USB01/1781/0c45";

class UsbLink : public ::testing::Test {
protected:
    usb_fake &dev = usb_fake_device();

    void SetUp() override {
        usb_errors::capture();
        dev.reset();
        usbuniv_set_backend(&usb_fake_backend);
    }
    void TearDown() override {
        usbuniv_set_backend(nullptr);
        log_reset();
    }

    static int open(Recorder &rec, int wait_ms = 50, const char *link = kLink) {
        int id = 0;
        EXPECT_EQ(comm_connect(&id, link, Recorder::callback, 4096, wait_ms, &rec), 0);
        return id;
    }
};

TEST_F(UsbLink, CarriesBytesBothWaysAndADisconnectWakesTheReaderAtOnce) {
    test::ManagerScope manager;
    Recorder rec;
    int id = open(rec, 60000);  // the reader sits in one long wait
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    const std::string in("BRNO\0\x01\xff\r\n", 9);
    dev.send(in);
    ASSERT_TRUE(test::eventually([&] { return rec.data() == in; }));
    int written = 0;
    EXPECT_EQ(comm_write(id, "BRNO\x80", 5, &written, 1000), 0);
    EXPECT_EQ(written, 5);
    ASSERT_TRUE(test::eventually([&] { return dev.reading(); }));  // the next block is asked for

    auto done = std::async(std::launch::async, [id] { return comm_disconnect(id); });
    ASSERT_EQ(done.wait_for(test::kDeadline), std::future_status::ready);
    EXPECT_EQ(rec.codes().back(), COMM_EVENT_DISCONNECTED);
    EXPECT_FALSE(dev.reading());  // cancelled, not left in flight
    std::lock_guard g(dev.lock);
    EXPECT_EQ(dev.from_host, "BRNO\x80");
    EXPECT_EQ(dev.closed, 1);
}

TEST_F(UsbLink, AGoneOrRefusingDeviceEndsTheLinkWithAnErrorThatSaysWhy) {
    test::ManagerScope manager;
    Recorder rec;
    int id = open(rec, 20);
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_CONNECTED));
    EXPECT_TRUE(rec.wait_for(COMM_EVENT_TIMEOUT));  // a quiet wait is a time-out, not an end
    {
        std::lock_guard g(dev.lock);
        dev.write_times_out = true;
    }
    int written = -1;
    EXPECT_EQ(comm_write(id, "BRNO-frame", 10, &written, 20), -1);
    EXPECT_EQ(written, 0);  // a frame cut short is not a frame written
    EXPECT_NE(usb_errors::text().find("write timeout on device 'M30USB01': 5 of 10"),
              std::string::npos)
        << usb_errors::text();
    EXPECT_EQ(comm_get_state(id), COMM_STATE_CONNECTED);

    dev.unplug();  // with the IN transfer in flight
    ASSERT_TRUE(rec.wait_for(COMM_EVENT_DISCONNECTED));
    EXPECT_NE(usb_errors::text().find("device 'M30USB01' is gone"), std::string::npos)
        << usb_errors::text();
    comm_disconnect(id);

    struct Case {
        int result;
        const char *link, *logged;
    };
    const Case cases[] = {
        {LIBUSB_ERROR_ACCESS, kLink, "install the udev rule 70-survokart-usb.rules"},
        {LIBUSB_ERROR_BUSY, kLink, "another program holds its interface 0"},
        {0, "USBU/OTHER/1781/0c45", "device 'OTHER' (1781:0c45) is not attached"},
    };
    dev.reset();
    for (const Case &c : cases) {
        {
            std::lock_guard g(dev.lock);
            dev.open_result = c.result;
        }
        Recorder failed;
        int other = open(failed, 50, c.link);
        ASSERT_TRUE(failed.wait_for(COMM_EVENT_CONNECT_FAILED)) << c.link;
        comm_disconnect(other);
        EXPECT_EQ(failed.codes(), std::vector<unsigned>{COMM_EVENT_CONNECT_FAILED});
        EXPECT_NE(usb_errors::text().find(c.logged), std::string::npos) << usb_errors::text();
    }
}

// The simulated M30's serial line carried by the scripted device: what the host writes goes to
// the line, what the line sends completes the IN transfers.
class Bridge {
public:
    Bridge(usb_fake &dev, const std::string &path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)),
          m_stop(::eventfd(0, EFD_CLOEXEC)) {
        std::lock_guard g(dev.lock);
        dev.on_write = [fd = m_fd](const std::string &bytes) {
            EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        };
        m_relay = std::thread([this, &dev] { relay(dev); });
    }
    ~Bridge() {
        uint64_t one = 1;
        EXPECT_EQ(::write(m_stop, &one, sizeof one), ssize_t(sizeof one));
        m_relay.join();
        ::close(m_fd);
        ::close(m_stop);
    }
    bool ok() const { return m_fd >= 0; }

private:
    void relay(usb_fake &dev) {
        char buf[512];
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[1].revents || !(fds[0].revents & POLLIN)) return;
            ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0) return;
            dev.send(std::string(buf, static_cast<size_t>(n)));
        }
    }
    int m_fd;
    int m_stop;
    std::thread m_relay;
};

std::atomic<int> recognised{-1};
int on_connected(int, char *, int type, void *) {
    recognised = type;
    return 0;
}
int on_gone(int, char *, void *) {
    return 0;
}

TEST_F(UsbLink, AnM30IsRecognisedAndAnswersOverTheLink) {
    sim::Options options = sim::in_process_options();
    options.pty = true;
    sim::Instrument instrument{options};
    sim::M30Options m30;
    m30.events = false;
    sim::M30Model model{instrument, m30};
    std::string error;
    ASSERT_TRUE(instrument.start(&error)) << error;
    Bridge bridge(dev, instrument.pty_path());
    ASSERT_TRUE(bridge.ok());
    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    int id = 0;
    ASSERT_EQ(
        MXX_connect(kLink, &id, on_connected, on_gone, on_gone, MDD_probe, MDD_test_probe, nullptr),
        0);
    EXPECT_EQ(MXX_wait_connected(id, 10000), 0);
    EXPECT_EQ(recognised, MXX_TYPE_M30);
    // A command whose answer is a record: set, then read back.
    M30_event_filter set{0x15, {}}, got{};
    EXPECT_EQ(M30_set_event_filter(id, &set, 1), MXX_RESULT_OK);
    EXPECT_EQ(M30_get_event_filter(id, &got, 1), MXX_RESULT_OK);
    EXPECT_TRUE(MXX_last_cmd_outcome().answered);
    EXPECT_EQ(got.mask, 0x15);
    MXX_shut();
}

}  // namespace
