// A device connected to an in-process simulated M30 holding stored records, and the plain walk
// over them, shared by the benchmarks that download them.
#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

#include "device/m30protocol.h"
#include "device/mxxdevice.h"
#include "device/surveyrecord.h"
#include "mxx/mxx.h"
#include "sim/m30_model.h"

namespace bench {

// Runs the event loop until the device is recognised; false on an error or after 10 s.
inline bool waitConnected(MXXDevice &device) {
    QEventLoop loop;
    bool ok = false;
    QObject::connect(&device, &MXXDevice::connected, &loop, [&] {
        ok = true;
        loop.quit();
    });
    QObject::connect(&device, &MXXDevice::connectionError, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return ok;
}

// Reads the record list, then every stored record, newest first, as the download dialog does;
// returns the number of records listed. `bytes`, when given, grows by the payload received.
inline int downloadAllRecords(M30Protocol &protocol, int *bytes = nullptr) {
    std::vector<char> list(SURVEY_LIST_BYTES), record(SURVEY_RECORD_BYTES);
    int count = 0, received = 0;
    protocol.txBuffDownload(1, 0, 1, SURVEY_LIST_MAX, 0, 0, &count, nullptr, nullptr, list.data(),
                            static_cast<int>(list.size()), &received);
    if (bytes) *bytes += received;
    auto ids = decodeSurveyList(reinterpret_cast<const uint8_t *>(list.data()), list.size(), count);
    for (auto id = ids.rbegin(); id != ids.rend(); ++id) {
        std::fill(record.begin(), record.end(), 0);
        protocol.txBuffDownload(3, 0, *id, 1, 0, 0, nullptr, nullptr, nullptr, record.data(),
                                static_cast<int>(record.size()), &received);
        if (bytes) *bytes += received;
    }
    return count;
}

// An instrument without events of its own, holding `records` stored records, and a device with
// an M30 protocol connected to it. Starts the device library; the program shuts it down.
class SimulatedM30 {
public:
    explicit SimulatedM30(int records)
        : m_instrument(instrumentOptions()), m_model(m_instrument, modelOptions(records)) {}
    ~SimulatedM30() { m_device.disconnect(); }

    // Null once connected, else what failed.
    const char *connect() {
        MXX_init(nullptr, nullptr, nullptr);
        if (!m_instrument.start()) return "the simulated instrument did not start";
        char conn[128];
        MXX_make_net_conn_string(conn, "127.0.0.1", m_instrument.port());
        m_device.connect(conn);
        if (!waitConnected(m_device)) return "the simulated instrument was not recognised";
        m_device.registerProtocol(m_protocol);
        return nullptr;
    }
    const std::shared_ptr<M30Protocol> &protocol() const { return m_protocol; }
    MXXDevice &device() { return m_device; }

private:
    static sim::Options instrumentOptions() {
        sim::Options options = sim::in_process_options();
        options.record_commands = false;
        return options;
    }
    static sim::M30Options modelOptions(int records) {
        sim::M30Options m30;
        m30.events = false;
        m30.history.records = records;
        return m30;
    }

    sim::Instrument m_instrument;
    sim::M30Model m_model;
    MXXDevice m_device;
    std::shared_ptr<M30Protocol> m_protocol = std::make_shared<M30Protocol>();
};

}  // namespace bench
