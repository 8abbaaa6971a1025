// A device on a USBF link whose FTDI adapter (the fake D2XX library) carries the line of a
// simulated M30: the instrument is recognised through the FTDI transport.
#include "comm/fake_d2xx.h"
#include "device/m30protocol.h"
#include "harness.h"
#include "sim/m30_model.h"

namespace {

TEST(FtdiLink, RecognisesAnM30BehindTheAdapter) {
    ::setenv("SURVOKART_D2XX_LIBRARY", FAKE_D2XX_LIBRARY, 1);
    fake_d2xx *adapter = fake_d2xx_load(FAKE_D2XX_LIBRARY);
    ASSERT_NE(adapter, nullptr);
    {
        std::lock_guard g(adapter->lock);
        adapter->devices = {{"FTSIM01", "M30"}};
    }
    sim::Options options = sim::in_process_options();
    options.pty = true;
    sim::Instrument instrument{options};
    sim::M30Options m30Options;
    sim::M30Model model{instrument, m30Options};
    std::string error;
    ASSERT_TRUE(instrument.start(&error)) << error;
    auto bridge = fake_d2xx_entry<int(const char *)>(FAKE_D2XX_LIBRARY, "fake_d2xx_bridge");
    auto unbridge = fake_d2xx_entry<void()>(FAKE_D2XX_LIBRARY, "fake_d2xx_unbridge");
    ASSERT_TRUE(bridge && unbridge);
    ASSERT_EQ(bridge(instrument.pty_path().c_str()), 0);
    ASSERT_EQ(MXX_init(nullptr, nullptr, nullptr), 0);
    {
        MXXDevice device;
        QSignalSpy connected(&device, &MXXDevice::connected);
        ASSERT_TRUE(device.connect(QStringLiteral("USBF/FTSIM01/1781/0c44")));
        EXPECT_TRUE(connected.wait(test::kSignalWaitMs));
        EXPECT_EQ(device.type(), M30Protocol::kType);
    }
    MXX_shut();
    unbridge();
}

}  // namespace
