// The window with three simulated instruments through SOAK_MINUTES (default 5) of faults: dropped,
// corrupted, retried and refused answers, links cut and instruments restarting on a period. Every
// minute it prints the program's descriptors, threads and resident memory. It checks that every
// panel is back within 15 s of every loss, that every event frame the instruments put on a link
// reached its panel exactly once (against the simulator's event log), that every download is
// either the instrument's memory exactly or a failure with a message, and that no resource grows
// with time.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "app/downloaddialog.h"
#include "app/mainwindow.h"
#include "device/m30protocol.h"
#include "device/mxxdevice.h"
#include "downloaded.h"
#include "field.h"
#include "map/widgets/mapview.h"

namespace {

using test::spin;
constexpr int kPanels = 3;
constexpr qint64 kMinute = 60000;
constexpr qint64 kBackWithinMs = 15000;
constexpr qint64 kDownloadEveryMs = 100000;
constexpr int kStoredRecords = 12;
constexpr int kKbPerTrackPoint = 4;

struct Usage {
    int descriptors = 0;
    int threads = 0;
    int rssKb = 0;
    int trackPoints = 0;  // what the window keeps on purpose: the map's track
};

int statusField(const QByteArray &status, const char *name) {
    const QRegularExpression field(QStringLiteral("^%1:\\s*(\\d+)").arg(QLatin1String(name)),
                                   QRegularExpression::MultilineOption);
    return field.match(QString::fromLatin1(status)).captured(1).toInt();
}

Usage usage() {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.read(64 * 1024);
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return {int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()),
            statusField(text, "Threads"), statusField(text, "VmRSS")};
}

// Event frames of one instrument: status and totals by their payload bytes, the rest counted.
struct Events {
    // By a hash of the payload's hex: an hour of frames kept whole would weigh on the memory the
    // soak watches.
    std::multiset<size_t> status, totals;
    int others = 0;
    void add(int code, const QByteArray &hex) {
        if (code == M30_EVENT_STATUS)
            status.insert(qHash(hex));
        else if (code == M30_EVENT_TOTAL)
            totals.insert(qHash(hex));
        else
            ++others;
    }
};

// What one panel's device hands on, registered beside the panel's own protocols on each link.
class EventTally : public Protocol {
public:
    int type() const override { return M30Protocol::kType; }
    void receiveData(QVariant &data) override {
        std::lock_guard lock(m_mutex);
        if (!keep<M30_status>(data, M30_EVENT_STATUS) &&
            !keep<M30_total_data>(data, M30_EVENT_TOTAL))
            m_seen.add(0, {});
    }
    Events seen() {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }

private:
    template <class Record>
    bool keep(const QVariant &data, int code) {
        if (data.metaType() != QMetaType::fromType<std::shared_ptr<Record>>()) return false;
        const auto *record = data.value<std::shared_ptr<Record>>().get();
        m_seen.add(code,
                   QByteArray(reinterpret_cast<const char *>(record), sizeof(Record)).toHex());
        return true;
    }
    std::mutex m_mutex;
    Events m_seen;
};

// What the simulator's log says each instrument sent, by serial.
std::map<QString, Events> readEventLog(const QString &path) {
    std::map<QString, Events> sent;
    QFile log(path);
    EXPECT_TRUE(log.open(QIODevice::ReadOnly)) << path.toStdString();
    while (!log.atEnd()) {
        const QList<QByteArray> f = log.readLine(1 << 20).trimmed().split(' ');
        if (f.size() == 4) sent[QString::fromLatin1(f[1])].add(f[2].toInt(), f[3]);
    }
    return sent;
}

class Window : public MainWindow {
public:
    QStringList messages;

protected:
    QMessageBox::StandardButton showMessage(QMessageBox::Icon, const QString &title,
                                            const QString &text,
                                            QMessageBox::StandardButtons) override {
        messages << title + ": " + text;
        return QMessageBox::Ok;
    }
};

// A panel's losses and returns, timed.
struct LinkLog {
    QElapsedTimer lostFor;
    qint64 longestMs = 0;
    int losses = 0;
};

QString fmt(const std::vector<SurveyReading> &points) {
    QString s;
    for (const SurveyReading &r : points)
        s += QStringLiteral("%1/%2 %3 %4 %5;")
                 .arg(r.recordId)
                 .arg(r.recordPoint)
                 .arg(r.timeMs)
                 .arg(r.latitude, 0, 'f', 6)
                 .arg(r.doseRate);
    return s;
}

TEST(Soak, ThreePanelsStayWithTheirInstrumentsThroughTheFaults) {
    const int minutes = qEnvironmentVariableIsSet("SOAK_MINUTES")
                            ? qEnvironmentVariableIntValue("SOAK_MINUTES")
                            : 5;
    ASSERT_GT(minutes, 0);
    test::appSettings().clear();
    QTemporaryDir dir;
    const QString eventLog = dir.filePath(QStringLiteral("events.log"));
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList options =
        QStringLiteral(
            "--instruments 3 --port 0 --no-udp --rate 2 --history-days 2 --drop 0.05 "
            "--corrupt 0.02 --retry0 0.02 --refuse 0.01 --junk 0.02 --cut-every-ms 45000 "
            "--restart-every-ms 100000 --restart-delay-ms 2000 --seed 11")
            .split(u' ');
    options << "--history" << QString::number(kStoredRecords) << "--event-log" << eventLog;
    sim.start(QStringLiteral(SIM_PATH), options);
    ASSERT_TRUE(sim.waitForStarted());
    // "survokart-sim: M30 C0000001 on 127.0.0.1:PORT", one line per instrument.
    const QRegularExpression served(QStringLiteral("M30 (\\S+) on ([\\d.]+):(\\d+)"));
    QStringList serials, addresses;
    QList<int> ports;
    while (serials.size() < kPanels) {
        ASSERT_TRUE(sim.canReadLine() || sim.waitForReadyRead(10000));
        while (sim.canReadLine()) {
            const auto m = served.match(QString::fromLatin1(sim.readLine()));
            if (!m.hasMatch()) continue;
            serials << m.captured(1);
            addresses << m.captured(2);
            ports << m.captured(3).toInt();
        }
    }

    QStringList boxes;
    test::ModalAnswer<QMessageBox> answer([&](QMessageBox *box) {
        boxes << box->text();
        box->accept();
    });
    Window w;
    std::array<std::shared_ptr<EventTally>, kPanels> tallies;
    std::array<LinkLog, kPanels> links;
    for (int i = 0; i < kPanels; ++i) {
        DeviceStatusWidget &panel = w.panel(i + 1);
        tallies[i] = std::make_shared<EventTally>();
        QObject::connect(
            &panel.device(), &MXXDevice::connected, &panel,
            [&panel, t = tallies[i]] { panel.device().registerProtocol(t); }, Qt::QueuedConnection);
        QObject::connect(&panel, &DeviceStatusWidget::deviceConnection, &panel,
                         [&link = links[i], i](const QString &, bool connected) {
                             if (!connected) {
                                 ++link.losses;
                                 link.lostFor.start();
                             } else if (link.lostFor.isValid()) {
                                 const qint64 away = link.lostFor.elapsed();
                                 if (away > 5000)
                                     std::printf("panel %d back after %lld ms\n", i + 1, away);
                                 link.longestMs = std::max(link.longestMs, away);
                                 link.lostFor.invalidate();
                             }
                         });
        test::connectThroughTheDialog(panel, addresses[i], ports[i]);
    }

    // Downloads: every one exact (as the panel's first complete one) or failed with a message.
    std::array<std::vector<SurveyReading>, kPanels> reference;
    int downloads = 0, exact = 0, failedWithMessage = 0;
    QStringList downloadFaults;
    // A failed download is started again where it stopped, as a user would, a few times.
    constexpr int kTries = 5;
    auto download = [&](int i) {
        DeviceStatusWidget &panel = w.panel(i + 1);
        std::vector<SurveyReading> points;
        QObject::connect(&panel, &DeviceStatusWidget::recordDownloaded, &panel,
                         [&](const std::vector<SurveyReading> &r) {
                             points.insert(points.end(), r.begin(), r.end());
                         });
        const int boxesBefore = int(boxes.size());
        int tries = 0;
        DownloadDialog::State end = DownloadDialog::State::Idle;
        QElapsedTimer running;
        test::ModalAnswer<DownloadDialog> drive([&](DownloadDialog *d) {
            const bool failed = d->state() == DownloadDialog::State::Failed;
            // After a lost link, the user waits for it to come back before trying again.
            const bool linked = panel.state() == DeviceStatusWidget::Connected;
            if (tries == 0 || (failed && tries < kTries && linked)) {
                if (tries++ == 0) running.start();
                test::child<QPushButton>(*d, "btn_start")->click();
            } else if ((failed && tries >= kTries) || running.elapsed() > 5 * kMinute) {
                end = d->state();
                d->reject();
            }
        });
        test::child<QPushButton>(panel, "btn_download")->click();
        QObject::disconnect(&panel, &DeviceStatusWidget::recordDownloaded, &panel, nullptr);
        if (tries == 0) return;  // refused before the dialog, with its own message
        ++downloads;
        const QStringList shown = boxes.mid(boxesBefore);
        boxes.erase(boxes.begin() + boxesBefore, boxes.end());  // each failure's own message
        if (end == DownloadDialog::State::Idle) end = DownloadDialog::State::Done;
        if (end == DownloadDialog::State::Failed && shown.size() == tries) {
            ++failedWithMessage;
            std::printf("panel %d: download failed %d times: %s\n", i + 1, tries,
                        qPrintable(shown.join(QStringLiteral("; "))));
            return;
        }
        if (end != DownloadDialog::State::Done || shown.size() != tries - 1) {
            downloadFaults << QStringLiteral(
                                  "panel %1: a download neither ended nor failed "
                                  "with a message (%2 tries, %3 messages)")
                                  .arg(i + 1)
                                  .arg(tries)
                                  .arg(shown.size());
            return;
        }
        // Exact: every stored record once, each point once, as in the panel's last download.
        std::set<qint64> records;
        std::set<std::pair<qint64, int>> each;
        for (const SurveyReading &r : points) {
            records.insert(r.recordId);
            each.insert({r.recordId, r.recordPoint});
        }
        const bool whole = int(records.size()) == kStoredRecords && *records.begin() == 1 &&
                           *records.rbegin() == kStoredRecords && each.size() == points.size();
        if (reference[i].empty()) reference[i] = points;
        if (whole && fmt(points) == fmt(reference[i]))
            ++exact;
        else
            downloadFaults << QStringLiteral("panel %1: %2 points of %3 records, not as stored")
                                  .arg(i + 1)
                                  .arg(points.size())
                                  .arg(records.size());
    };

    // The loop below waits for events rather than spinning: a beat wakes it at least this often.
    QTimer beat;
    beat.start(100);
    auto wait = [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    };
    std::vector<Usage> samples;
    auto sample = [&](int minute) {
        Usage u = usage();
        u.trackPoints = w.mapView().getTrackLen();
        samples.push_back(u);
        std::printf("%6d  %11d  %7d  %6d  %12d\n", minute, u.descriptors, u.threads, u.rssKb,
                    u.trackPoints);
        std::fflush(stdout);
    };
    std::printf("minute  descriptors  threads  rss_kb  track_points\n");
    sample(0);
    QElapsedTimer run;
    run.start();
    qint64 nextSample = kMinute, nextDownload = kDownloadEveryMs / 2;
    int turn = 0;
    while (run.elapsed() < minutes * kMinute) {
        wait();
        if (run.elapsed() >= nextDownload) {
            nextDownload += kDownloadEveryMs;
            const int i = turn++ % kPanels;
            if (w.panel(i + 1).state() == DeviceStatusWidget::Connected) download(i);
        }
        if (run.elapsed() >= nextSample) {
            sample(int(nextSample / kMinute));
            nextSample += kMinute;
        }
        for (int i = 0; i < kPanels; ++i)
            if (links[i].lostFor.isValid())
                links[i].longestMs = std::max(links[i].longestMs, links[i].lostFor.elapsed());
    }
    // The last loss may be recent: each panel is given its 15 s.
    QElapsedTimer settling;
    settling.start();
    while (settling.elapsed() < kBackWithinMs + 5000 &&
           !std::all_of(links.begin(), links.end(),
                        [](const LinkLog &l) { return !l.lostFor.isValid(); }))
        wait();
    for (int i = 0; i < kPanels; ++i)
        if (links[i].lostFor.isValid())
            links[i].longestMs = std::max(links[i].longestMs, links[i].lostFor.elapsed());

    // The instruments stop: what they sent is all in the log and all on its way.
    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished(15000));
    EXPECT_TRUE(spin([&] {
        for (int i = 0; i < kPanels; ++i)
            if (w.panel(i + 1).state() == DeviceStatusWidget::Connected) return false;
        return true;
    }));
    for (int i = 0; i < 10; ++i)
        wait();

    const std::map<QString, Events> sent = readEventLog(eventLog);
    for (int i = 0; i < kPanels; ++i) {
        const Events s = sent.count(serials[i]) ? sent.at(serials[i]) : Events{};
        const Events got = tallies[i]->seen();
        std::printf(
            "panel %d (%s): %d losses, longest %lld ms; events sent %zu status, %zu totals, %d "
            "other; received %zu, %zu, %d\n",
            i + 1, qPrintable(serials[i]), links[i].losses, links[i].longestMs, s.status.size(),
            s.totals.size(), s.others, got.status.size(), got.totals.size(), got.others);
        EXPECT_LE(links[i].longestMs, kBackWithinMs) << "panel " << i + 1;
        EXPECT_GT(links[i].losses, 0) << "panel " << i + 1 << " was never cut";
        EXPECT_GT(s.status.size(), 0u);
        // Each frame once: none lost, none twice, none made up.
        EXPECT_TRUE(got.status == s.status && got.totals == s.totals && got.others == s.others)
            << "panel " << i + 1;
    }
    std::printf("downloads: %d, exact %d, failed with a message %d\n", downloads, exact,
                failedWithMessage);
    EXPECT_TRUE(downloadFaults.isEmpty()) << downloadFaults.join("\n").toStdString();
    EXPECT_EQ(downloads, exact + failedWithMessage);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join("\n").toStdString();
    EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join("\n").toStdString();

    // Nothing grows with time but the track the window keeps: the last minute against the first
    // (the start-up allocations done).
    if (samples.size() >= 3) {
        const Usage &first = samples[1], &last = samples.back();
        EXPECT_LE(last.descriptors, first.descriptors + 2);
        EXPECT_LE(last.threads, first.threads + 2);
        const int kept = last.trackPoints - first.trackPoints;
        EXPECT_LE(last.rssKb, first.rssKb + 8 * 1024 + kept * kKbPerTrackPoint) << kept;
    }
}

}  // namespace
