// The device status panel against simulated M30s, driven through its real connect dialog.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTabWidget>
#include <cstring>
#include <memory>

#include "app/connectdialog.h"
#include "app/devicestatuswidget.h"
#include "common/eventually.h"
#include "device/mxxdevice.h"
#include "dialogs.h"
#include "mxx/m30.h"
#include "sim/instrument.h"
#include "sim/m30_model.h"

namespace {

bool spin(const std::function<bool()> &condition) {
    return test::eventually([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return condition();
    });
}

class QuietPanel : public DeviceStatusWidget {
public:
    QStringList errors;

protected:
    void showError(const QString &text) override { errors << text; }
};

// A complete simulated M30 on its own loopback address; it sends events only when told to.
struct Field {
    sim::Instrument instrument;
    std::unique_ptr<sim::M30Model> model;

    Field(const std::string &address, const std::string &serial, int restartDelayMs = 3000)
        : instrument(options(address, serial)) {
        sim::M30Options m30;
        m30.events = false;
        m30.restart_delay_ms = restartDelayMs;
        model = std::make_unique<sim::M30Model>(instrument, m30);
        std::string error;
        EXPECT_TRUE(instrument.start(&error)) << error;
    }
    static sim::Options options(const std::string &address, const std::string &serial) {
        sim::Options o = sim::in_process_options();
        o.address = address;
        o.serial = serial;
        return o;
    }
    void sendStatus(uint16_t errors, int recording, bool fix) {
        M30_status s{};
        s.error_flags = errors;
        s.survey_recording = recording;
        s.gps_valid = fix ? 1 : 0;
        s.gps_latitude = 49.5f;
        s.gps_longitude = 16.25f;
        s.gps_altitude = 321.4f;
        send(M30_EVENT_STATUS, s);
    }
    void sendTotal(uint32_t cps, float doseRate) {
        M30_total_data t{};
        t.count_rate = cps;
        t.dose_rate = doseRate;
        t.dose_unit = 1;
        send(M30_EVENT_TOTAL, t);
    }
    template <class T>
    void send(uint16_t code, const T &record) {
        auto *p = reinterpret_cast<const uint8_t *>(&record);
        instrument.send_event(code, std::vector<uint8_t>(p, p + sizeof record));
    }
    // The 32-bit payloads of the commands of `code` the instrument received, in order.
    std::vector<int32_t> sent(uint16_t code) const {
        std::vector<int32_t> values;
        for (auto &f : instrument.commands_seen()) {
            if (mxx_frame_code(f.data()) != code || f.size() < MXX_FRAME_OVERHEAD + 4) continue;
            int32_t v;
            std::memcpy(&v, mxx_frame_payload(f.data()), 4);
            values.push_back(v);
        }
        return values;
    }
};

template <typename T>
T *child(const QObject &parent, const char *name) {
    auto *c = parent.findChild<T *>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
}

// Picks the instrument on the connect dialog's Net tab by a typed address and port, as a user.
void connectThroughTheDialog(QuietPanel &panel, const Field &field) {
    test::ModalAnswer<ConnectDialog> pick([&](ConnectDialog *dialog) {
        child<QTabWidget>(*dialog, "tabWidget")->setCurrentIndex(2);
        child<QCheckBox>(*dialog, "checkbox_net")->setChecked(true);
        child<QLineEdit>(*dialog, "edit_net")
            ->setText(QString::fromStdString(field.instrument.address()));
        child<QCheckBox>(*dialog, "checkbox_port")->setChecked(false);
        child<QLineEdit>(*dialog, "edit_port")->setText(QString::number(field.instrument.port()));
        child<QPushButton>(*dialog, "connectButton")->click();
    });
    child<QPushButton>(panel, "btn_connect")->click();
    ASSERT_TRUE(spin([&] { return panel.state() == DeviceStatusWidget::Connected; }));
}

TEST(DeviceStatusPanel, ShowsItsInstrumentAndDrivesIt) {
    Field field("127.0.0.1", "C1234567");
    QuietPanel panel;
    panel.setOrder(2);
    EXPECT_EQ(child<QPushButton>(panel, "btn_connect")->text(), "Connect device  two");
    QSignalSpy connection(&panel, &DeviceStatusWidget::deviceConnection);
    QSignalSpy points(&panel, &DeviceStatusWidget::addMapPoint);
    connectThroughTheDialog(panel, field);
    auto *stack = child<QStackedWidget>(panel, "stackedWidget");
    EXPECT_EQ(stack->currentIndex(), 1);
    EXPECT_EQ(child<QLineEdit>(panel, "lineEditSerial")->text(), "4567");
    ASSERT_EQ(connection.count(), 1);
    EXPECT_EQ(connection[0][1].toBool(), true);
    EXPECT_EQ(connection[0][2].toString(), "4567");
    EXPECT_EQ(connection[0][3].toInt(), 2);
    EXPECT_EQ(field.model->state().event_mask, int32_t(M30_EVENT_FILTER_ALL));

    // Without a fix: dashes and no point. Before any totals: a point with 0 and 0.
    field.sendStatus(0, 0, false);
    auto *lat = child<QLineEdit>(panel, "lineEdit_lat");
    ASSERT_TRUE(spin([&] { return lat->text() == "-"; }));
    EXPECT_EQ(child<QLineEdit>(panel, "lineEdit_alt")->text(), "-");
    EXPECT_EQ(child<QLineEdit>(panel, "lineEditSystemStatus")->text(), "No errors");
    EXPECT_EQ(points.count(), 0);
    field.sendStatus(M30_ERROR_BATTERY, 0, true);
    ASSERT_TRUE(spin([&] { return points.count() == 1; }));
    EXPECT_EQ(points[0][3].toFloat(), 0.f);
    EXPECT_EQ(points[0][4].toFloat(), 0.f);
    EXPECT_EQ(points[0][6].toInt(), 2);
    EXPECT_EQ(child<QLineEdit>(panel, "lineEdit_alt")->text(), "321m");
    EXPECT_EQ(child<QLineEdit>(panel, "lineEditSystemStatus")->text(), " BATTERY");
    field.sendTotal(1234567, 150.f);
    field.sendStatus(M30_ERROR_GPP | M30_ERROR_GPS | M30_ERROR_FS_DATA, 0, true);
    ASSERT_TRUE(spin([&] { return points.count() == 2; }));
    EXPECT_EQ(points[1][3].toFloat(), 1234567.f);
    EXPECT_EQ(points[1][4].toFloat(), 150.f);
    EXPECT_EQ(child<QLineEdit>(panel, "lineEditSystemStatus")->text(), "GPP GPS FS_DATA");
    EXPECT_EQ(child<QLineEdit>(panel, "lineEdit_cps")->text(), "1.23457e+06 cps");

    // The mirror: keys and picture while on, neither when off.
    auto *display = child<QComboBox>(panel, "comboBoxDisplay");
    auto *picture = child<QLabel>(panel, "label");
    display->setCurrentIndex(1);
    EXPECT_TRUE(child<QPushButton>(panel, "btnOk")->isEnabled());
    ASSERT_TRUE(spin([&] { return !picture->pixmap().isNull(); }));
    test::screenshot(panel, "device_status_panel.png");
    for (const char *key : {"btnOk", "btnUp", "btnLeft", "btnRight", "btnDown"})
        child<QPushButton>(panel, key)->click();
    EXPECT_EQ(field.sent(M30_CMD_EMULATE_KEY), (std::vector<int32_t>{28, 103, 105, 106, 108}));
    display->setCurrentIndex(0);
    EXPECT_FALSE(child<QPushButton>(panel, "btnOk")->isEnabled());
    EXPECT_TRUE(picture->pixmap().isNull());

    // Recording: the user's choice goes to the instrument; the instrument's state is followed
    // without being sent back.
    auto *record = child<QComboBox>(panel, "comboBoxRecord");
    record->setCurrentIndex(1);
    EXPECT_TRUE(field.model->state().recording);
    record->setCurrentIndex(0);
    EXPECT_FALSE(field.model->state().recording);
    EXPECT_EQ(field.sent(M30_CMD_RECORD_SURVEY), (std::vector<int32_t>{1, 0}));
    field.sendStatus(0, 1, false);
    ASSERT_TRUE(spin([&] { return record->currentIndex() == 1; }));
    EXPECT_EQ(field.sent(M30_CMD_RECORD_SURVEY).size(), 2u);
}

TEST(DeviceStatusPanel, RestartReconnectsSilentlyAndSpeaksOnlyWhenTheAttemptsRunOut) {
    Field field("127.0.0.1", "C0000001", 50);
    QuietPanel panel;
    panel.setReconnectInterval(20);
    connectThroughTheDialog(panel, field);
    QSignalSpy connection(&panel, &DeviceStatusWidget::deviceConnection);

    child<QPushButton>(panel, "btn_restartDevice")->click();
    ASSERT_TRUE(spin([&] { return connection.count() == 2; }));  // dropped, then back
    EXPECT_FALSE(connection[0][1].toBool());
    EXPECT_EQ(connection[0][2].toString(), "");
    EXPECT_TRUE(connection[1][1].toBool());
    EXPECT_EQ(panel.state(), DeviceStatusWidget::Connected);
    EXPECT_TRUE(panel.errors.isEmpty());

    // Restarted and never back: ten silent attempts, one message when the last one fails.
    QSignalSpy failures(&panel.device(), &MXXDevice::connectionError);
    child<QPushButton>(panel, "btn_restartDevice")->click();
    ASSERT_TRUE(spin([&] { return connection.count() == 3; }));
    field.instrument.stop();
    ASSERT_TRUE(spin([&] { return !panel.errors.isEmpty(); }));
    EXPECT_EQ(failures.count(), 10);
    EXPECT_EQ(panel.errors, QStringList{"Device connection error!"});
    EXPECT_EQ(child<QStackedWidget>(panel, "stackedWidget")->currentIndex(), 0);
}

TEST(DeviceStatusPanel, RefusesWhatItCannotServe) {
    Field field("127.0.0.1", "Z1234567");  // answers the probe as another model
    QuietPanel panel;
    child<QPushButton>(panel, "btn_download")->click();
    EXPECT_EQ(panel.errors, QStringList{"Device not connected!"});

    // A cancelled connect dialog changes nothing.
    {
        test::ModalAnswer<ConnectDialog> cancel([](ConnectDialog *d) { d->reject(); });
        child<QPushButton>(panel, "btn_connect")->click();
    }
    EXPECT_EQ(panel.state(), DeviceStatusWidget::Disconnected);
    EXPECT_EQ(field.instrument.links_accepted(), 0);

    connectThroughTheDialog(panel, field);
    child<QPushButton>(panel, "btn_download")->click();
    EXPECT_EQ(panel.errors.last(), "Incompatible device!");
    ASSERT_TRUE(spin([&] { return panel.state() == DeviceStatusWidget::Disconnected; }));
    EXPECT_EQ(child<QStackedWidget>(panel, "stackedWidget")->currentIndex(), 0);
}

TEST(DeviceStatusPanel, ThreePanelsEachWithItsOwnInstrument) {
    Field fields[] = {
        {"127.0.0.1", "C0000101"}, {"127.0.0.2", "C0000202"}, {"127.0.0.3", "C0000303"}};
    QuietPanel panels[3];
    for (int i = 0; i < 3; ++i) {
        panels[i].setOrder(i + 1);
        connectThroughTheDialog(panels[i], fields[i]);
        fields[i].sendTotal(100 * (i + 1), 1.f);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(child<QLineEdit>(panels[i], "lineEditSerial")->text(),
                  QString("0%1").arg(i + 1).repeated(2));
        auto *cps = child<QLineEdit>(panels[i], "lineEdit_cps");
        EXPECT_TRUE(spin([&] { return cps->text() == QString("%1 cps").arg(100 * (i + 1)); }))
            << cps->text().toStdString();
    }
}

}  // namespace
