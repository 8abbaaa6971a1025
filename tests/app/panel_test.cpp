// The device status panel against simulated M30s, driven through its real connect dialog.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <memory>

#include "app/linkkeeper.h"
#include "device/commandqueue.h"
#include "device/mxxdevice.h"
#include "field.h"

namespace {

using test::child;
using test::connectThroughTheDialog;
using test::Field;
using test::spin;

class QuietPanel : public DeviceStatusWidget {
public:
    QStringList errors;

protected:
    void showError(const QString &text) override { errors << text; }
};

TEST(DeviceStatusPanel, ShowsItsInstrumentAndDrivesIt) {
    Field field("127.0.0.1", "C1234567");
    QuietPanel panel;
    panel.setOrder(2);
    EXPECT_EQ(child<QPushButton>(panel, "btn_connect")->text(), "Connect device  two");
    QSignalSpy connection(&panel, &DeviceStatusWidget::deviceConnection);
    std::vector<SurveyReading> points;
    QObject::connect(&panel, &DeviceStatusWidget::reading,
                     [&](const SurveyReading &r) { points.push_back(r); });
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
    // The reading without a fix is kept all the same, with its instrument and no position.
    ASSERT_EQ(points.size(), 1u);
    EXPECT_FALSE(points[0].usable());
    EXPECT_EQ(points[0].serial, "C1234567");
    field.sendStatus(M30_ERROR_BATTERY, 0, true);
    ASSERT_TRUE(spin([&] { return points.size() == 2; }));
    EXPECT_TRUE(points[1].usable());
    EXPECT_EQ(points[1].countRate, 0.);
    EXPECT_EQ(points[1].doseRate, 0.);
    EXPECT_EQ(points[1].instrument, 2);
    EXPECT_EQ(child<QLineEdit>(panel, "lineEdit_alt")->text(), "321m");
    EXPECT_EQ(child<QLineEdit>(panel, "lineEditSystemStatus")->text(), " BATTERY");
    field.sendTotal(1234567, 150.f);
    field.sendStatus(M30_ERROR_GPP | M30_ERROR_GPS | M30_ERROR_FS_DATA, 0, true);
    ASSERT_TRUE(spin([&] { return points.size() == 3; }));
    EXPECT_EQ(points[2].countRate, 1234567.);
    EXPECT_EQ(points[2].doseRate, 150.);
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
    ASSERT_TRUE(spin([&] { return child<QPushButton>(panel, "btnDown")->isEnabled(); }));
    EXPECT_EQ(field.sent(M30_CMD_EMULATE_KEY), (std::vector<int32_t>{28, 103, 105, 106, 108}));
    display->setCurrentIndex(0);
    EXPECT_FALSE(child<QPushButton>(panel, "btnOk")->isEnabled());
    EXPECT_TRUE(picture->pixmap().isNull());

    // Recording: the user's choice goes to the instrument; the instrument's state is followed
    // without being sent back.
    auto *record = child<QComboBox>(panel, "comboBoxRecord");
    record->setCurrentIndex(1);
    EXPECT_FALSE(record->isEnabled());  // until the instrument has taken the choice
    ASSERT_TRUE(spin([&] { return record->isEnabled(); }));
    EXPECT_TRUE(field.model->state().recording);
    record->setCurrentIndex(0);
    ASSERT_TRUE(spin([&] { return record->isEnabled(); }));
    EXPECT_FALSE(field.model->state().recording);
    EXPECT_EQ(field.sent(M30_CMD_RECORD_SURVEY), (std::vector<int32_t>{1, 0}));
    field.sendStatus(0, 1, false);
    ASSERT_TRUE(spin([&] { return record->currentIndex() == 1; }));
    EXPECT_EQ(field.sent(M30_CMD_RECORD_SURVEY).size(), 2u);
}

TEST(DeviceStatusPanel, RestartReconnectsSilentlyAndSpeaksOnlyWhenTheAttemptsRunOut) {
    Field field("127.0.0.1", "C0000001", Field::quiet(50));
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

// Restarted behind a link that stays up (a serial adapter): the panel closes the old link
// itself. It ends connected, or, with the instrument away for good, on the connect page with the
// link closed and the disconnection told once; never on the connect page with the link open.
TEST(DeviceStatusPanel, RestartBehindALinkThatStaysUpEndsConnectedOrDisconnected) {
    sim::M30Options m30 = Field::quiet(600000);  // new links refused until powered on
    m30.restart_keeps_link = true;
    Field field("127.0.0.1", "C1234567", m30);
    QuietPanel panel;
    panel.setReconnectInterval(20);
    connectThroughTheDialog(panel, field);
    QSignalSpy connection(&panel, &DeviceStatusWidget::deviceConnection);
    QSignalSpy failures(&panel.device(), &MXXDevice::connectionError);
    auto *stack = child<QStackedWidget>(panel, "stackedWidget");

    child<QPushButton>(panel, "btn_restartDevice")->click();
    ASSERT_TRUE(spin([&] { return failures.count() == 1; }));
    ASSERT_EQ(connection.count(), 1);
    EXPECT_FALSE(connection[0][1].toBool());
    field.instrument.power_on();
    ASSERT_TRUE(spin([&] { return connection.count() == 2; }));
    EXPECT_TRUE(connection[1][1].toBool());
    EXPECT_EQ(connection[1][2].toString(), "4567");
    EXPECT_EQ(stack->currentIndex(), 1);
    EXPECT_EQ(child<QLineEdit>(panel, "lineEditSerial")->text(), "4567");
    EXPECT_TRUE(panel.errors.isEmpty());

    failures.clear();
    child<QPushButton>(panel, "btn_restartDevice")->click();
    ASSERT_TRUE(spin([&] { return !panel.errors.isEmpty(); }));
    EXPECT_EQ(failures.count(), 10);
    EXPECT_EQ(panel.errors, QStringList{"Device connection error!"});
    EXPECT_EQ(stack->currentIndex(), 0);
    EXPECT_EQ(panel.device().connId(), -1);
    ASSERT_EQ(connection.count(), 3);
    EXPECT_FALSE(connection[2][1].toBool());
}

// The mirror and the keys need an instrument: off and disabled whenever the panel has none.
TEST(DeviceStatusPanel, MirrorAndKeysOnlyWhileConnected) {
    Field field("127.0.0.1", "C1234567", Field::quiet(600000));
    QuietPanel panel;
    panel.setReconnectInterval(20);
    auto *display = child<QComboBox>(panel, "comboBoxDisplay");
    auto *ok = child<QPushButton>(panel, "btnOk");
    EXPECT_FALSE(display->isEnabled());
    bool enabledWhileConnecting = true;
    QObject::connect(&panel.device(), &MXXDevice::connected, &panel,
                     [&] { enabledWhileConnecting = display->isEnabled(); });
    connectThroughTheDialog(panel, field);
    EXPECT_FALSE(enabledWhileConnecting);
    ASSERT_TRUE(display->isEnabled());
    display->setCurrentIndex(1);
    EXPECT_TRUE(ok->isEnabled());

    // Restarted and never back: dropped, then connection errors until the attempts run out.
    child<QPushButton>(panel, "btn_restartDevice")->click();
    ASSERT_TRUE(spin([&] { return panel.state() != DeviceStatusWidget::Connected; }));
    EXPECT_FALSE(display->isEnabled());
    ASSERT_TRUE(spin([&] { return !panel.errors.isEmpty(); }));
    EXPECT_EQ(panel.state(), DeviceStatusWidget::ConnectionError);
    EXPECT_FALSE(display->isEnabled());
    EXPECT_EQ(display->currentIndex(), 0);
    EXPECT_FALSE(ok->isEnabled());
}

TEST(ReconnectSchedule, PausesGrowToTenSecondsAndStopAtTheLimit) {
    std::vector<int> pauses;
    for (int attempt = 1; attempt <= 6; ++attempt)
        pauses.push_back(ReconnectSchedule::pauseMs(attempt));
    EXPECT_EQ(pauses, (std::vector<int>{1000, 2000, 5000, 10000, 10000, 10000}));
    EXPECT_FALSE(ReconnectSchedule(3).exhausted(2));
    EXPECT_TRUE(ReconnectSchedule(3).exhausted(3));
    EXPECT_FALSE(ReconnectSchedule(0).exhausted(100000));
}

// A link cut from the instrument's side comes back by itself, with the event filter, the mirror
// and the recording the user had, and only to the same instrument. The user's own Disconnect is
// never undone.
TEST(DeviceStatusPanel, ALostLinkComesBackButTheUsersDisconnectStays) {
    Field field("127.0.0.1", "C1234567");
    QuietPanel panel;
    connectThroughTheDialog(panel, field);
    auto *display = child<QComboBox>(panel, "comboBoxDisplay");
    auto *record = child<QComboBox>(panel, "comboBoxRecord");
    auto *picture = child<QLabel>(panel, "label");
    display->setCurrentIndex(1);
    record->setCurrentIndex(1);
    ASSERT_TRUE(spin([&] { return record->isEnabled(); }));
    QSignalSpy connection(&panel, &DeviceStatusWidget::deviceConnection);

    field.instrument.close_link();
    ASSERT_TRUE(spin([&] { return panel.state() == DeviceStatusWidget::Reconnecting; }));
    EXPECT_TRUE(child<QLabel>(panel, "linkState")->text().contains("reconnecting (attempt 1)"));
    EXPECT_FALSE(child<QPushButton>(panel, "btn_stopReconnecting")->isHidden());
    ASSERT_TRUE(spin([&] { return panel.state() == DeviceStatusWidget::Connected; }));
    EXPECT_EQ(field.sent(M30_CMD_SET_EVENT_FILTER).size(), 2u);
    EXPECT_EQ(field.model->state().event_mask, int32_t(M30_EVENT_FILTER_ALL));
    EXPECT_EQ(display->currentIndex(), 1);
    EXPECT_TRUE(child<QPushButton>(panel, "btnOk")->isEnabled());
    picture->clear();
    ASSERT_TRUE(spin([&] { return !picture->pixmap().isNull(); }));
    ASSERT_TRUE(spin([&] { return field.sent(M30_CMD_RECORD_SURVEY).size() == 2; }));
    EXPECT_EQ(field.sent(M30_CMD_RECORD_SURVEY), (std::vector<int32_t>{1, 1}));
    EXPECT_EQ(record->currentIndex(), 1);
    EXPECT_TRUE(child<QPushButton>(panel, "btn_stopReconnecting")->isHidden());

    // Another instrument answering at the address is not taken for this one, nor this one while
    // it refuses to send its events.
    field.instrument.set_serial("C7654321");
    field.instrument.close_link();
    ASSERT_TRUE(spin([&] { return panel.linkKeeper().attempt() == 2; }));
    EXPECT_EQ(panel.state(), DeviceStatusWidget::Reconnecting);
    field.instrument.set_serial("C1234567");
    sim::Faults refusing;
    refusing.refuse = 1;  // all but the probe, which also reads the serial
    field.instrument.set_faults(refusing);
    ASSERT_TRUE(spin([&] { return panel.linkKeeper().attempt() == 3; }));
    EXPECT_EQ(panel.state(), DeviceStatusWidget::Reconnecting);
    field.instrument.set_faults({});
    ASSERT_TRUE(spin([&] { return panel.state() == DeviceStatusWidget::Connected; }));
    ASSERT_EQ(connection.count(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(connection[i][1].toBool(), i % 2 == 1);
    EXPECT_EQ(connection[3][2].toString(), "4567");
    EXPECT_TRUE(panel.errors.isEmpty());

    const int links = field.instrument.links_accepted();
    child<QPushButton>(panel, "btn_disconnectDevice")->click();
    ASSERT_TRUE(spin([&] { return panel.state() == DeviceStatusWidget::Disconnected; }));
    EXPECT_FALSE(panel.linkKeeper().active());
    EXPECT_EQ(child<QLabel>(panel, "linkState")->text(), "");
    EXPECT_EQ(field.instrument.links_accepted(), links);
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

TEST(DeviceStatusPanel, KeepsAnsweringWhileItsInstrumentIsSilent) {
    Field field("127.0.0.1", "C1234567");
    QuietPanel panel;
    connectThroughTheDialog(panel, field);
    sim::Faults silent;
    silent.drop = 1;
    field.instrument.set_faults(silent);
    child<QComboBox>(panel, "comboBoxDisplay")->setCurrentIndex(1);
    auto *ok = child<QPushButton>(panel, "btnOk");
    ok->click();
    // The window handles its next event while the press still waits for an answer.
    bool inFlightWhenHandled = false, handled = false;
    QTimer::singleShot(0, &panel, [&] {
        inFlightWhenHandled = panel.device().commands().pending() > 0;
        handled = true;
    });
    ASSERT_TRUE(spin([&] { return handled; }));
    EXPECT_TRUE(inFlightWhenHandled);
    EXPECT_FALSE(ok->isEnabled());
}

TEST(DeviceStatusPanel, ClosesWithoutWaitingOutACommandInFlight) {
    Field field("127.0.0.1", "C1234567");
    auto panel = std::make_unique<QuietPanel>();
    connectThroughTheDialog(*panel, field);
    // The picture's prepare step goes unanswered: a 20 s time-out, tried three times.
    field.instrument.set_command(M30_CMD_TX_BUFF_PREPARE,
                                 [](const sim::Command &) { return std::optional<sim::Answer>(); });
    QElapsedTimer closing;
    closing.start();
    panel->updateDeviceDisplay();
    ASSERT_TRUE(spin([&] { return !field.sent(M30_CMD_TX_BUFF_PREPARE).empty(); }));
    panel.reset();
    EXPECT_LT(closing.elapsed(), 10000);  // a guard, far below one wait for the answer
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
