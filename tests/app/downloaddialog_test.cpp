// The download dialog against the simulated instrument serving a script of stored records.
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "app/downloaddialog.h"
#include "device/commandqueue.h"
#include "device/harness.h"
#include "device/m30protocol.h"
#include "dialogs.h"
#include "downloaded.h"
#include "mxx/m30.h"
#include "sim/m30_model.h"
#include "sim/survey.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
T recordOf(const Bytes &payload) {
    T r{};
    std::memcpy(&r, payload.data(), std::min(sizeof r, payload.size()));
    return r;
}

// The instrument's survey memory as a test lays it out: the list, the records, and which
// transfers it refuses. The rows run on the serving thread.
class StoredRecords {
public:
    void add(int32_t id, uint32_t time, std::vector<sim::SurveyPoint> points,
             uint32_t claimedPoints = 0) {
        Bytes bytes = sim::encode_record({id, time, 2, std::move(points)});
        if (claimedPoints) std::memcpy(bytes.data() + sim::stored::kPointCount, &claimedPoints, 4);
        std::lock_guard lock(m_mutex);
        m_ids.push_back(id);
        m_records[id] = bytes;
    }
    void refuseList(bool refuse) {
        std::lock_guard lock(m_mutex);
        m_refuseList = refuse;
    }
    void refuseRecord(int32_t id, bool refuse = true) {
        std::lock_guard lock(m_mutex);
        if (refuse)
            m_refused.insert(id);
        else
            m_refused.erase(id);
    }

    void install(sim::Instrument &in) {
        in.set_command(M30_CMD_TX_BUFF_INFO, [](const sim::Command &) {
            return std::optional(sim::Answer{0, 0, 0, Bytes(sizeof(M30_txbuf_info), 0)});
        });
        in.set_command(M30_CMD_TX_BUFF_PREPARE, [this](const sim::Command &c) {
            return prepare(recordOf<M30_txbuf_prepare_request>(c.payload));
        });
        in.set_command(M30_CMD_TX_BUFF_GET, [this](const sim::Command &c) {
            return chunk(recordOf<M30_txbuf_chunk_request>(c.payload));
        });
    }

private:
    std::optional<sim::Answer> prepare(const M30_txbuf_prepare_request &r) {
        std::lock_guard lock(m_mutex);
        M30_txbuf_prepare_response out{};
        if (r.kind == 1 && !m_refuseList) {
            auto *ids = reinterpret_cast<const uint8_t *>(m_ids.data());
            m_serving.assign(ids, ids + m_ids.size() * 4);
            out.results[0] = static_cast<int32_t>(m_ids.size());
        } else if (r.kind == 3 && m_records.count(r.args[0]) && !m_refused.count(r.args[0])) {
            m_serving = m_records[r.args[0]];
        } else {
            return sim::Answer{0, 0, 1, {}};  // error status
        }
        Bytes payload(sizeof out);
        std::memcpy(payload.data(), &out, sizeof out);
        return sim::Answer{0, 0, 0, payload};
    }
    std::optional<sim::Answer> chunk(const M30_txbuf_chunk_request &r) {
        std::lock_guard lock(m_mutex);
        uint32_t length =
            r.offset < m_serving.size() ? std::min<uint32_t>(8000, m_serving.size() - r.offset) : 0;
        Bytes payload(8 + length, 0);
        std::memcpy(payload.data(), &length, 4);
        if (length) std::memcpy(payload.data() + 8, m_serving.data() + r.offset, length);
        return sim::Answer{0, 0, 0, payload};
    }

    std::mutex m_mutex;
    std::vector<int32_t> m_ids;
    std::map<int32_t, Bytes> m_records;
    std::set<int32_t> m_refused;
    bool m_refuseList = false;
    Bytes m_serving;
};

// `n` points; every one of them with a fix unless `withoutFix` says how many at the end lack it.
std::vector<sim::SurveyPoint> points(int n, int withoutFix = 0) {
    std::vector<sim::SurveyPoint> out;
    for (int j = 0; j < n; ++j)
        out.push_back({j < n - withoutFix, 49.0f + j * 0.001f, 16.5f, 250.0f + j,
                       static_cast<uint32_t>(100 + j), 0.25f, 0});
    return out;
}

uint32_t secondsAgo(qint64 seconds) {
    return static_cast<uint32_t>(QDateTime::currentSecsSinceEpoch() - seconds);
}

class DownloadDialogTest : public test::DeviceTest {
protected:
    StoredRecords store;
    std::shared_ptr<M30Protocol> m30 = std::make_shared<M30Protocol>();
    QStringList boxes;  // "title: text" of every message box shown
    test::ModalAnswer<QMessageBox> answer{[this](QMessageBox *box) {
        boxes << box->windowTitle() + ": " + box->text();
        box->button(QMessageBox::Ok)->click();
    }};

    void SetUp() override {
        test::appSettings().clear();
        DeviceTest::SetUp();
        store.install(instrument);
        connectDevice();
        ASSERT_TRUE(device->registerProtocol(m30));
    }

    template <typename T>
    static T *child(DownloadDialog &d, const char *name) {
        T *w = d.findChild<T *>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    // Starts the download and waits until it has come to an end of any kind.
    static void run(DownloadDialog &d) {
        d.show();
        child<QPushButton>(d, "btn_start")->click();
        ASSERT_TRUE(test::spin([&] { return d.state() != DownloadDialog::State::Downloading; }));
    }
    int recordReads() {
        int n = 0;
        for (auto &f : instrument.commands_seen()) {
            if (mxx_frame_code(f.data()) != M30_CMD_TX_BUFF_PREPARE) continue;
            uint32_t kind;
            std::memcpy(&kind, mxx_frame_payload(f.data()), 4);
            n += kind == 3;
        }
        return n;
    }
};

TEST_F(DownloadDialogTest, EachWindowEndsAtTheFirstOlderRecordAndSavesTheChoice) {
    constexpr qint64 kHour = 3600, kDay = 86400;
    auto oldest = points(3);
    oldest.push_back({true, std::nanf(""), 16.5f, 250.0f, 1, 0.25f, 0});  // a fix over garbage
    store.add(11, secondsAgo(5 * kDay), oldest);
    store.add(12, secondsAgo(3 * kDay), points(2));
    store.add(13, secondsAgo(3 * kHour), points(1));
    store.add(14, secondsAgo(50 * 60), points(4, 2));     // two without a fix
    store.add(15, secondsAgo(10 * 60), points(60), 100);  // claims more than the layout holds

    {  // Nothing stored yet: everything.
        DownloadDialog all(nullptr, m30, &device->commands(), 2);
        test::DownloadedPoints emitted(&all);
        EXPECT_TRUE(child<QRadioButton>(all, "radioButton_all")->isChecked());
        run(all);
        EXPECT_EQ(all.state(), DownloadDialog::State::Done);
        EXPECT_EQ(all.result(), QDialog::Accepted);
        EXPECT_EQ(child<QProgressBar>(all, "progressBar")->value(), 100);
        EXPECT_EQ(emitted.count(), 60 + 2 + 1 + 2 + 3);
        EXPECT_EQ(recordReads(), 5);
        // The newest record's first point, as stored.
        const SurveyReading &first = emitted.points.at(0);
        EXPECT_FLOAT_EQ(first.latitude, 49.0f);
        EXPECT_FLOAT_EQ(first.longitude, 16.5f);
        EXPECT_FLOAT_EQ(first.altitude, 250.0f);
        EXPECT_EQ(first.countRate, 100.0f);
        EXPECT_EQ(first.doseRate, 0.25f);
        EXPECT_EQ(first.doseUnit, 2);
        EXPECT_EQ(first.instrument, 2);
        EXPECT_EQ(first.recordId, 15);
        test::screenshot(all, QStringLiteral("download_dialog.png"));
        EXPECT_EQ(test::appSettings().value("SelectDelta").toInt(), 0);
    }
    instrument.clear_commands();
    {  // Two days: the record three days old ends the walk and is not used.
        DownloadDialog days(nullptr, m30, &device->commands(), 1);
        test::DownloadedPoints emitted(&days);
        child<QRadioButton>(days, "radioButton_days")->click();
        child<QPushButton>(days, "btn_days_up")->click();
        run(days);
        EXPECT_EQ(days.state(), DownloadDialog::State::Done);
        EXPECT_EQ(emitted.count(), 60 + 2 + 1);
        EXPECT_EQ(recordReads(), 4);
    }
    instrument.clear_commands();
    {  // The choice comes back; one hour: the record three hours old ends it.
        DownloadDialog hours(nullptr, m30, &device->commands(), 1);
        test::DownloadedPoints emitted(&hours);
        EXPECT_TRUE(child<QRadioButton>(hours, "radioButton_days")->isChecked());
        EXPECT_EQ(child<QLineEdit>(hours, "edit_days")->text(), "2");
        child<QRadioButton>(hours, "radioButton_hours")->click();
        run(hours);
        EXPECT_EQ(emitted.count(), 60 + 2);
        EXPECT_EQ(recordReads(), 3);
    }
    QSettings settings = test::appSettings();
    EXPECT_EQ(settings.value("SelectDelta").toInt(), 2);
    EXPECT_EQ(settings.value("DaysDelta").toInt(), 2);
    EXPECT_EQ(settings.value("HoursDelta").toInt(), 1);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join('\n').toStdString();
}

TEST_F(DownloadDialogTest, CancelKeepsTheEmittedPointsAndSavesNothing) {
    constexpr int kRecords = 40;
    for (int id = 1; id <= kRecords; ++id)
        store.add(id, secondsAgo(kRecords - id), points(1));
    DownloadDialog dialog(nullptr, m30, &device->commands(), 3);
    int emitted = 0;
    QObject::connect(&dialog, &DownloadDialog::recordDownloaded, [&] {
        // Pressed between records, as a person would.
        if (++emitted == 3)
            QMetaObject::invokeMethod(child<QPushButton>(dialog, "btn_cancel"), "click",
                                      Qt::QueuedConnection);
    });
    run(dialog);
    EXPECT_EQ(dialog.state(), DownloadDialog::State::Cancelled);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());
    // The record in flight at Cancel comes back (or times out); nothing follows it.
    ASSERT_TRUE(test::spin([&] { return device->commands().pending() == 0; }));
    int reads = recordReads();
    EXPECT_GE(emitted, 3);
    EXPECT_LT(emitted, kRecords);
    for (int i = 0; i < 50; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(recordReads(), reads);  // the walk stopped
    EXPECT_FALSE(test::appSettings().contains("SelectDelta"));
    EXPECT_FALSE(test::appSettings().contains("DaysDelta"));
}

TEST_F(DownloadDialogTest, FailuresAreShownAndStartWorksAgain) {
    // The list refused, then served empty: an instrument with no records.
    store.refuseList(true);
    DownloadDialog dialog(nullptr, m30, &device->commands(), 1);
    test::DownloadedPoints emitted(&dialog);
    run(dialog);
    EXPECT_EQ(dialog.state(), DownloadDialog::State::Failed);
    EXPECT_EQ(boxes, QStringList{"Error: Download survey indices failed!"});
    EXPECT_TRUE(child<QPushButton>(dialog, "btn_start")->isEnabled());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(test::appSettings().contains("SelectDelta"));
    store.refuseList(false);
    run(dialog);
    EXPECT_EQ(dialog.state(), DownloadDialog::State::Done);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(child<QProgressBar>(dialog, "progressBar")->value(), 100);
    EXPECT_EQ(emitted.count(), 0);
    EXPECT_TRUE(test::appSettings().contains("SelectDelta"));

    // A number that does not read: nothing is transferred.
    boxes.clear();
    test::appSettings().setValue("DaysDelta", "ten");
    test::appSettings().setValue("SelectDelta", 1);
    instrument.clear_commands();
    DownloadDialog wrong(nullptr, m30, &device->commands(), 1);
    run(wrong);
    EXPECT_EQ(boxes, QStringList{"Error: Wrong value!"});
    EXPECT_TRUE(child<QPushButton>(wrong, "btn_start")->isEnabled());
    EXPECT_TRUE(instrument.commands_seen().empty());

    // A record that does not arrive stops the walk with a message, keeping what came before.
    boxes.clear();
    test::appSettings().setValue("SelectDelta", 0);
    store.add(1, secondsAgo(100), points(1));
    store.add(2, secondsAgo(50), points(1));
    store.add(3, secondsAgo(10), points(1));
    store.refuseRecord(2);
    DownloadDialog lost(nullptr, m30, &device->commands(), 1);
    test::DownloadedPoints lostPoints(&lost);
    run(lost);
    EXPECT_EQ(lost.state(), DownloadDialog::State::Failed);
    EXPECT_EQ(boxes, QStringList{"Error: Download of survey record 2 failed!"});
    EXPECT_EQ(lostPoints.count(), 1);
    EXPECT_TRUE(child<QPushButton>(lost, "btn_start")->isEnabled());
}

TEST_F(DownloadDialogTest, ARetryGoesOnWhereTheWalkStopped) {
    const uint32_t start = secondsAgo(100);
    for (int id = 1; id <= 4; ++id)
        store.add(id, start + id, points(2));
    store.refuseRecord(2);
    DownloadDialog dialog(nullptr, m30, &device->commands(), 1);
    test::DownloadedPoints emitted(&dialog);
    run(dialog);
    EXPECT_EQ(dialog.state(), DownloadDialog::State::Failed);
    EXPECT_EQ(boxes, QStringList{"Error: Download of survey record 2 failed!"});
    EXPECT_EQ(emitted.count(), 4);
    store.refuseRecord(2, false);
    run(dialog);
    EXPECT_EQ(dialog.state(), DownloadDialog::State::Done);
    // Every point once: records 4 and 3 are not emitted again.
    std::multiset<qint64> times;
    for (const SurveyReading &point : emitted.points)
        times.insert(point.timeMs / 1000);
    EXPECT_EQ(emitted.count(), 8);
    for (int id = 1; id <= 4; ++id)
        EXPECT_EQ(times.count(start + id), 2u) << id;
}

// An instrument that cuts a stored record inside its header: without the record's time the walk
// cannot tell whether it is in the window, so the download fails rather than end there as done.
TEST_F(DownloadDialogTest, ARecordShorterThanItsHeaderFailsTheDownload) {
    sim::M30Options options;
    options.events = false;
    options.history = {.records = 3, .days = 0.1};
    options.odd_records.short_every = 2;
    sim::M30Model model(instrument, options);
    DownloadDialog dialog(nullptr, m30, &device->commands(), 1);
    child<QRadioButton>(dialog, "radioButton_days")->click();
    run(dialog);
    EXPECT_EQ(dialog.state(), DownloadDialog::State::Failed);
    EXPECT_EQ(boxes, QStringList{"Error: Download of survey record 2 failed!"});
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(child<QPushButton>(dialog, "btn_start")->isEnabled());
    EXPECT_FALSE(test::appSettings().contains("SelectDelta"));
}

// No instrument needed: the arrows only change the numbers.
TEST(DownloadDialogArrows, BoundedAndOnlyInTheirOwnMode) {
    test::appSettings().clear();
    test::appSettings().setValue("DaysDelta", 364);
    test::appSettings().setValue("HoursDelta", 999);
    DownloadDialog dialog(nullptr, nullptr, nullptr, 1);
    auto *days = dialog.findChild<QLineEdit *>("edit_days");
    auto *hours = dialog.findChild<QLineEdit *>("edit_hours");
    auto press = [&](const char *name, int times) {
        for (int i = 0; i < times; ++i)
            dialog.findChild<QPushButton *>(name)->click();
    };
    auto all = {"btn_days_up", "btn_days_down", "btn_hours_up", "btn_hours_down"};
    for (const char *name : all)
        press(name, 1);
    EXPECT_EQ(days->text(), "364");
    EXPECT_EQ(hours->text(), "999");

    dialog.findChild<QRadioButton *>("radioButton_days")->click();
    press("btn_days_up", 3);
    press("btn_hours_up", 1);
    EXPECT_EQ(days->text(), "365");
    EXPECT_EQ(hours->text(), "999");
    press("btn_days_down", 400);
    EXPECT_EQ(days->text(), "1");

    dialog.findChild<QRadioButton *>("radioButton_hours")->click();
    press("btn_hours_up", 3);
    EXPECT_EQ(hours->text(), "1000");
    press("btn_hours_down", 1100);
    EXPECT_EQ(hours->text(), "1");
    EXPECT_EQ(days->text(), "1");
}

}  // namespace
