// A simulated M30 on its own loopback address and the way a user connects a panel to it.
#pragma once

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/connectdialog.h"
#include "app/devicestatuswidget.h"
#include "common/eventually.h"
#include "dialogs.h"
#include "mxx/m30.h"
#include "sim/instrument.h"
#include "sim/m30_model.h"

namespace test {

// Runs the event loop until `condition` holds; false when the deadline passed first.
inline bool spin(const std::function<bool()> &condition) {
    return eventually([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return condition();
    });
}

template <typename T>
T *child(const QObject &parent, const char *name) {
    auto *c = parent.findChild<T *>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
}

// A complete simulated M30 on its own loopback address, on an ephemeral port.
struct Field {
    sim::Instrument instrument;
    std::unique_ptr<sim::M30Model> model;

    // Sends events only when told to, unless the options say otherwise.
    static sim::M30Options quiet(int restartDelayMs = 3000) {
        sim::M30Options m30;
        m30.events = false;
        m30.restart_delay_ms = restartDelayMs;
        return m30;
    }

    Field(const std::string &address, const std::string &serial,
          const sim::M30Options &m30 = quiet(), std::shared_ptr<sim::EventLog> log = nullptr)
        : instrument(options(address, serial, std::move(log))) {
        model = std::make_unique<sim::M30Model>(instrument, m30);
        std::string error;
        EXPECT_TRUE(instrument.start(&error)) << error;
    }
    static sim::Options options(const std::string &address, const std::string &serial,
                                std::shared_ptr<sim::EventLog> log = nullptr) {
        sim::Options o = sim::in_process_options();
        o.event_log = std::move(log);
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

// Picks the instrument on the connect dialog's Net tab by a typed address and port, as a user.
inline void connectThroughTheDialog(DeviceStatusWidget &panel, const QString &address, int port) {
    ModalAnswer<ConnectDialog> pick([&](ConnectDialog *dialog) {
        child<QTabWidget>(*dialog, "tabWidget")->setCurrentIndex(2);
        child<QCheckBox>(*dialog, "checkbox_net")->setChecked(true);
        child<QLineEdit>(*dialog, "edit_net")->setText(address);
        child<QCheckBox>(*dialog, "checkbox_port")->setChecked(false);
        child<QLineEdit>(*dialog, "edit_port")->setText(QString::number(port));
        child<QPushButton>(*dialog, "connectButton")->click();
    });
    child<QPushButton>(panel, "btn_connect")->click();
    ASSERT_TRUE(spin([&] { return panel.state() == DeviceStatusWidget::Connected; }));
}

inline void connectThroughTheDialog(DeviceStatusWidget &panel, const Field &field) {
    connectThroughTheDialog(panel, QString::fromStdString(field.instrument.address()),
                            field.instrument.port());
}

}  // namespace test
