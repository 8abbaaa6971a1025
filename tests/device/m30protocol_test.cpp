// M30Protocol against the simulated instrument: event records and their signals, the transfer-
// buffer download, and the encodings of a few commands.
#include <QStringList>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

#include "device/m30protocol.h"
#include "harness.h"

namespace {

using test::kSignalWaitMs;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

void put32(Bytes &b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}

Bytes payloadOf(const Bytes &frame) {
    uint16_t len = mxx_frame_length(frame.data());
    const uint8_t *p = mxx_frame_payload(frame.data());
    return len ? Bytes(p, p + len - 1) : Bytes{};
}

class M30ProtocolTest : public test::DeviceTest {
protected:
    std::shared_ptr<M30Protocol> m30 = std::make_shared<M30Protocol>();

    void SetUp() override {
        DeviceTest::SetUp();
        connectDevice();
        ASSERT_TRUE(device->registerProtocol(m30));
    }
    // Events are delivered in order: once this alarm is through, everything sent before it is.
    void flushEvents() {
        QSignalSpy alarm(m30.get(), &M30Protocol::alarmData);
        Bytes v(4, 0);
        put32(v, 0, 0xC0FFEE);
        instrument.send_event(M30_EVENT_ALARMS, v);
        ASSERT_TRUE(test::spin([&] {
            for (auto &a : alarm)
                if (a[0].toInt() == 0xC0FFEE) return true;
            return false;
        }));
    }
    std::vector<Bytes> sent(uint16_t code) {
        std::vector<Bytes> out;
        for (auto &f : instrument.commands_seen())
            if (mxx_frame_code(f.data()) == code) out.push_back(payloadOf(f));
        return out;
    }
};

TEST_F(M30ProtocolTest, StatusAndTotalsCarryExactlyTheBytesSent) {
    QSignalSpy status(m30.get(), &M30Protocol::statusData);
    QSignalSpy totals(m30.get(), &M30Protocol::totalData);
    // Records also cross queued connections (a receiver on another thread gets them this way).
    QObject receiver;
    std::shared_ptr<M30_status> queued;
    QObject::connect(
        m30.get(), &M30Protocol::statusData, &receiver,
        [&](std::shared_ptr<M30_status> r) { queued = r; }, Qt::QueuedConnection);
    Bytes s = pattern(sizeof(M30_status), 3), t = pattern(sizeof(M30_total_data), 9);
    instrument.send_event(M30_EVENT_STATUS, s);
    instrument.send_event(M30_EVENT_TOTAL, t);
    flushEvents();
    ASSERT_EQ(status.count(), 1);
    ASSERT_EQ(totals.count(), 1);
    auto gotS = status[0][0].value<std::shared_ptr<M30_status>>();
    auto gotT = totals[0][0].value<std::shared_ptr<M30_total_data>>();
    EXPECT_EQ(std::memcmp(gotS.get(), s.data(), s.size()), 0);
    EXPECT_EQ(std::memcmp(gotT.get(), t.data(), t.size()), 0);
    ASSERT_TRUE(test::spin([&] { return queued != nullptr; }));
    EXPECT_EQ(queued, gotS);
    EXPECT_TRUE(QMetaType::fromName("std::shared_ptr<M30_status>").isValid());

    // A short payload is completed with zeros, a long one cut to the record.
    instrument.send_event(M30_EVENT_STATUS, Bytes{1, 2});
    instrument.send_event(M30_EVENT_TOTAL, pattern(200, 1));
    flushEvents();
    ASSERT_EQ(status.count(), 2);
    auto shortS = status[1][0].value<std::shared_ptr<M30_status>>();
    // Packed fields are compared by value.
    EXPECT_EQ(uint16_t{shortS->error_flags}, 0x0201);
    EXPECT_EQ(int32_t{shortS->gps_valid}, 0);
    EXPECT_EQ(std::memcmp(totals[1][0].value<std::shared_ptr<M30_total_data>>().get(),
                          pattern(200, 1).data(), sizeof(M30_total_data)),
              0);
}

TEST_F(M30ProtocolTest, SpectrumKindsPickTheirSignalAndChannelsStopAtThePayload) {
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (auto signal : {&M30Protocol::spectrumData, &M30Protocol::accumulatedSpectrumData,
                        &M30Protocol::assaySpectrumData, &M30Protocol::csStabSpectrumData,
                        &M30Protocol::bgCalibSpectrumData, &M30Protocol::identSpectrumData})
        spies.push_back(std::make_unique<QSignalSpy>(m30.get(), signal));
    auto counts = [&] {
        std::vector<int> c;
        for (auto &s : spies)
            c.push_back(static_cast<int>(s->count()));
        return c;
    };
    auto spectrum = [](uint16_t kind, uint32_t channels, int sent) {
        M30_spectrum_header h{};
        h.kind = kind;
        h.channels = channels;
        h.fwhm_cs137_x100 = 725;
        h.sequence_number = 42;
        h.live_time = 900;
        h.clock_time = 1000;
        h.total_count = 6;
        h.geiger_total = -3;
        h.finished = 1;
        Bytes b(sizeof h + sent * 4);
        std::memcpy(b.data(), &h, sizeof h);
        for (int i = 0; i < sent; ++i)
            put32(b, sizeof h + i * 4, static_cast<uint32_t>(i + 1));
        return b;
    };
    instrument.send_event(M30_EVENT_SPECTRUM, spectrum(2, 4, 4));
    flushEvents();
    EXPECT_EQ(counts(), (std::vector<int>{0, 0, 0, 1, 0, 0}));
    auto s = spies[3]->at(0)[0].value<std::shared_ptr<Spectrum>>();
    EXPECT_EQ(s->type(), 4u);
    EXPECT_EQ(s->data(), (Spectrum::DataType{1, 2, 3, 4}));
    EXPECT_FLOAT_EQ(s->fwhmCs137(), 7.25f);
    EXPECT_EQ(s->sequenceNumber(), 42u);
    EXPECT_EQ(s->totalCount(), 6u);
    EXPECT_FLOAT_EQ(s->deadTime(), 10.f);
    EXPECT_EQ(s->geigerTotal(), -3);
    EXPECT_EQ(s->finished(), 1);

    instrument.send_event(M30_EVENT_SPECTRUM, spectrum(4, 1000000, 3));  // count beyond payload
    instrument.send_event(M30_EVENT_SPECTRUM, spectrum(7, 2, 2));
    instrument.send_event(M30_EVENT_SPECTRUM, spectrum(9, 2, 2));
    instrument.send_event(M30_EVENT_SPECTRUM, Bytes{1, 0});  // header cut short: no channels
    flushEvents();
    EXPECT_EQ(counts(), (std::vector<int>{1, 1, 0, 1, 0, 0}));
    EXPECT_EQ(spies[1]->at(0)[0].value<std::shared_ptr<Spectrum>>()->data(),
              (Spectrum::DataType{1, 2, 3}));
    EXPECT_EQ(spies[0]->at(0)[0].value<std::shared_ptr<Spectrum>>()->size(), 0u);
}

TEST_F(M30ProtocolTest, AssayResultsAndValueEventsKeepTheirMeaning) {
    QSignalSpy assay(m30.get(), &M30Protocol::assayResultsData);
    QSignalSpy onfly(m30.get(), &M30Protocol::onflyAssayResultsData);
    QSignalSpy alarm(m30.get(), &M30Protocol::alarmData);
    QSignalSpy light(m30.get(), &M30Protocol::lightSensorMonoData);
    Bytes results = pattern(sizeof(M30_assay_results), 0);
    results[0] = 5;
    results[1] = 0;
    instrument.send_event(M30_EVENT_ONFLY_ASSAY_RESULTS, results);
    instrument.send_event(M30_EVENT_ASSAY_RESULTS, results);
    Bytes v(4);
    put32(v, 0, 4000000000u);
    instrument.send_event(M30_EVENT_ALARMS, v);
    put32(v, 0, 17);
    instrument.send_event(M30_EVENT_LIGHT_SENSOR, v);
    flushEvents();
    ASSERT_EQ(onfly.count(), 1);
    ASSERT_EQ(assay.count(), 1);
    EXPECT_EQ(uint16_t{onfly[0][0].value<std::shared_ptr<M30_assay_results>>()->first}, 5);
    EXPECT_EQ(uint16_t{assay[0][0].value<std::shared_ptr<M30_assay_results>>()->first}, 5);
    ASSERT_GE(alarm.count(), 1);
    EXPECT_EQ(alarm[0][0].toInt(), static_cast<int>(4000000000u));
    ASSERT_EQ(light.count(), 1);
    EXPECT_EQ(light[0][0].toInt(), 17);
}

// A transfer buffer served by the instrument in chunks of the given sizes.
struct TransferScript {
    std::vector<uint32_t> chunks;
    uint8_t chunkStatus = 0;
    Bytes data;
    std::vector<uint32_t> offsets;  // of the chunk requests, in order (serving thread only)

    void install(sim::Instrument &in) {
        in.set_command(M30_CMD_TX_BUFF_INFO, [](const sim::Command &) {
            sim::Answer a;
            a.payload = Bytes(8, 0);
            put32(a.payload, 4, 0xABCD);  // the handle
            return std::optional(a);
        });
        in.set_command(M30_CMD_TX_BUFF_PREPARE, [](const sim::Command &) {
            sim::Answer a;
            a.payload = Bytes(68, 0);
            put32(a.payload, 4, 11);
            put32(a.payload, 8, 22);
            put32(a.payload, 12, 33);
            return std::optional(a);
        });
        in.set_command(M30_CMD_TX_BUFF_GET, [this](const sim::Command &c) {
            uint32_t offset, handle;
            std::memcpy(&offset, c.payload.data(), 4);
            std::memcpy(&handle, c.payload.data() + 4, 4);
            offsets.push_back(offset);
            sim::Answer a;
            a.status = chunkStatus;
            uint32_t n = offsets.size() <= chunks.size() ? chunks[offsets.size() - 1] : 0;
            if (handle != 0xABCD) n = 0;
            a.payload = Bytes(8, 0);
            put32(a.payload, 0, n);
            a.payload.insert(a.payload.end(), data.begin() + offset, data.begin() + offset + n);
            return std::optional(a);
        });
    }
};

TEST_F(M30ProtocolTest, TransferBufferDownloadJoinsTheChunks) {
    TransferScript script;
    script.chunks = {8170, 8170, 100};
    script.data = pattern(16440, 1);
    script.install(instrument);
    std::vector<char> buffer(20000, 0x55);
    int r1 = 0, r2 = 0, r3 = 0, length = -1;
    ASSERT_TRUE(m30->txBuffDownload(3, 1, 7, 1, 0, 0, &r1, &r2, &r3, buffer.data(),
                                    static_cast<int>(buffer.size()), &length));
    EXPECT_EQ(length, 16440);
    EXPECT_EQ(std::memcmp(buffer.data(), script.data.data(), 16440), 0);
    EXPECT_EQ(buffer[16440], 0x55);
    EXPECT_EQ((std::vector<int>{r1, r2, r3}), (std::vector<int>{11, 22, 33}));
    EXPECT_EQ(script.offsets, (std::vector<uint32_t>{0, 8170, 16340, 16440}));
    auto prepare = sent(M30_CMD_TX_BUFF_PREPARE);
    ASSERT_EQ(prepare.size(), 1u);
    ASSERT_EQ(prepare[0].size(), 68u);
    EXPECT_EQ(prepare[0][0], 3);  // kind
    EXPECT_EQ(prepare[0][8], 7);  // V1

    // One byte too small: the download fails and nothing lands past the capacity.
    std::vector<char> small(16440, 0x55);
    length = -1;
    script.offsets.clear();
    EXPECT_FALSE(m30->txBuffDownload(3, 1, 7, 1, 0, 0, nullptr, nullptr, nullptr, small.data(),
                                     16439, &length));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(small[16439], 0x55);
}

TEST_F(M30ProtocolTest, TransferBufferEmptyOrRefusedChunks) {
    TransferScript script;
    script.install(instrument);
    std::vector<char> buffer(16, 0x55);
    int r1 = -1, length = -1;
    ASSERT_TRUE(m30->txBuffDownload(1, 0, 1, 10000, 0, 0, &r1, nullptr, nullptr, buffer.data(), 16,
                                    &length));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(r1, 11);
    EXPECT_EQ(buffer, std::vector<char>(16, 0x55));

    script.chunks = {4};
    script.data = pattern(4, 0);
    script.chunkStatus = 2;
    script.offsets.clear();
    int r2 = -1, r3 = -1;
    EXPECT_FALSE(
        m30->txBuffDownload(1, 0, 1, 10000, 0, 0, &r1, &r2, &r3, buffer.data(), 16, &length));
    EXPECT_EQ((std::vector<int>{r1, r2, r3}), (std::vector<int>{11, 22, 33}));
    EXPECT_EQ(length, 0);

    // A refused prepare step: no results.
    instrument.set_command(M30_CMD_TX_BUFF_PREPARE, [](const sim::Command &) {
        sim::Answer a;
        a.code = MXX_CODE_REFUSAL;
        return std::optional(a);
    });
    EXPECT_FALSE(
        m30->txBuffDownload(1, 0, 1, 10000, 0, 0, &r1, &r2, &r3, buffer.data(), 16, &length));
    EXPECT_EQ((std::vector<int>{r1, r2, r3}), (std::vector<int>{0, 0, 0}));
}

// A chunk that did not really arrive is a failed download, never the end of the buffer; a step
// without an answer ends the download there.
TEST_F(M30ProtocolTest, TransferBufferFailsOnAnythingButARealChunk) {
    TransferScript script;
    script.install(instrument);
    auto answerChunk = [&](std::function<sim::Answer()> make) {
        instrument.set_command(M30_CMD_TX_BUFF_GET,
                               [make](const sim::Command &) { return std::optional(make()); });
    };
    auto chunk = [](uint32_t claimed, size_t carried) {
        sim::Answer a;
        a.payload = Bytes(8 + carried, 7);
        put32(a.payload, 0, claimed);
        return a;
    };
    auto retryAgain = [] {
        sim::Answer a;
        a.code = MXX_CODE_RETRY;
        return a;
    };
    std::vector<char> buffer(M30_TXBUF_CHUNK_MAX * 2);
    auto download = [&] {
        int length = -1;
        bool ok = m30->txBuffDownload(3, 0, 1, 1, 0, 0, nullptr, nullptr, nullptr, buffer.data(),
                                      static_cast<int>(buffer.size()), &length);
        return ok || length != 0;
    };
    answerChunk(retryAgain);
    EXPECT_FALSE(download()) << "only retry frames";
    answerChunk([] { return sim::Answer{}; });
    EXPECT_FALSE(download()) << "an empty answer";
    answerChunk([&] { return chunk(0, M30_TXBUF_CHUNK_MAX + 1); });
    EXPECT_FALSE(download()) << "an answer larger than a chunk";
    answerChunk([&] { return chunk(100, 10); });
    EXPECT_FALSE(download()) << "a length the answer does not carry";
    answerChunk([&] { return chunk(0, 0); });
    EXPECT_TRUE(m30->txBuffDownload(3, 0, 1, 1, 0, 0, nullptr, nullptr, nullptr, buffer.data(),
                                    static_cast<int>(buffer.size()), nullptr));

    for (uint16_t step : {M30_CMD_TX_BUFF_INFO, M30_CMD_TX_BUFF_PREPARE}) {
        instrument.set_command(step,
                               [&](const sim::Command &) { return std::optional(retryAgain()); });
        instrument.clear_commands();
        EXPECT_FALSE(download()) << step;
        EXPECT_TRUE(sent(M30_CMD_TX_BUFF_GET).empty()) << step;
    }
}

// Silence is no success: only an answer makes a command succeed, and the caller can tell a
// refusal from silence.
TEST_F(M30ProtocolTest, CommandWithoutAnAnswerFails) {
    EXPECT_TRUE(m30->emulateKey(28));
    EXPECT_TRUE(Protocol::lastCommandAnswered());
    instrument.set_command(M30_CMD_EMULATE_KEY, [](const sim::Command &) {
        sim::Answer a;
        a.code = MXX_CODE_REFUSAL;
        return std::optional(a);
    });
    EXPECT_FALSE(m30->emulateKey(28));
    EXPECT_TRUE(Protocol::lastCommandAnswered());
    MXX_set_cmd_num_try(device->connId(), 1);
    instrument.set_command(M30_CMD_EMULATE_KEY,
                           [](const sim::Command &) { return std::optional<sim::Answer>(); });
    EXPECT_FALSE(m30->emulateKey(28));
    EXPECT_FALSE(Protocol::lastCommandAnswered());
}

TEST_F(M30ProtocolTest, CommandsEncodeTheirRecords) {
    EXPECT_TRUE(m30->setLeds(3));
    EXPECT_TRUE(m30->setLeds(0));
    EXPECT_FALSE(m30->getLeds());
    EXPECT_TRUE(m30->setNameServers("", "8.8.4.4x"));
    EXPECT_TRUE(m30->setGuiSerial("ABCDEFGHIJ"));
    EXPECT_TRUE(m30->saveCalibLog(9, "calibrated"));
    EXPECT_TRUE(m30->deleteRecord(-2, 3, 0x10004, 5));

    auto leds = sent(M30_CMD_SET_LEDS);
    ASSERT_EQ(leds.size(), 2u);
    EXPECT_EQ(leds[0], (Bytes{0x41, 0x02, 0, 0}));
    EXPECT_EQ(leds[1], (Bytes{0x01, 0, 0, 0}));
    EXPECT_TRUE(sent(M30_CMD_GET_LEDS).empty());
    Bytes ns(52, 0);
    std::memcpy(ns.data(), "8.8.4.4x", 8);
    EXPECT_EQ(sent(M30_CMD_SET_NAMESERVERS), std::vector<Bytes>{ns});
    EXPECT_EQ(sent(M30_CMD_SET_GUI_SERIAL),
              (std::vector<Bytes>{Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}}));
    auto log = sent(M30_CMD_SAVE_CALIB_LOG);
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(log[0].size(), 280u);
    EXPECT_EQ(Bytes(log[0].begin() + 4, log[0].begin() + 12),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 9, 0, 0, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(log[0].data()) + 24), "calibrated");
    EXPECT_EQ(sent(M30_CMD_DELETE_RECORD_ID),
              (std::vector<Bytes>{Bytes{0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 4, 0, 5, 0}}));

    instrument.set_command(M30_CMD_SAVE_CALIB_LOG, [](const sim::Command &) {
        sim::Answer a;
        a.status = 1;
        return std::optional(a);
    });
    EXPECT_FALSE(m30->saveCalibLog(9, "refused"));
}

TEST_F(M30ProtocolTest, UnboundProtocolSendsNothing) {
    M30Protocol loose;
    EXPECT_FALSE(loose.isBound());
    EXPECT_FALSE(loose.emulateKey(28));
    EXPECT_FALSE(loose.recordSurvey(1));
    char buffer[4];
    int length = 5;
    EXPECT_FALSE(
        loose.txBuffDownload(1, 0, 1, 10000, 0, 0, nullptr, nullptr, nullptr, buffer, 4, &length));
    EXPECT_EQ(length, 0);
}

}  // namespace
