// The application killed with SIGKILL in the middle of a three-instrument survey at the highest
// event rate: every reading the instruments sent up to a second before is in the journal, once,
// under the instrument that sent it, checked against the simulator's own log.
#include <signal.h>

#include <QDateTime>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <map>
#include <set>
#include <thread>

#include "app/mainwindow.h"
#include "field.h"
#include "survey/surveyjournalreader.h"

namespace {

using namespace std::chrono_literals;

constexpr char kChildEnv[] = "SURVOKART_CRASH_INSTRUMENTS";
constexpr char kDataEnv[] = "SURVOKART_CRASH_DATA";
constexpr int kLossMs = 1000;  // what the journal may lose to a kill

// Runs as the killed application: a window without a person, its three panels connected.
class PersonlessWindow : public MainWindow {
protected:
    QMessageBox::StandardButton showMessage(QMessageBox::Icon, const QString &, const QString &,
                                            QMessageBox::StandardButtons) override {
        return QMessageBox::Ok;
    }
};

TEST(Crash, DISABLED_ChildRunsTheSurveyUntilKilled) {
    const QStringList instruments = qEnvironmentVariable(kChildEnv).split(',');
    ASSERT_EQ(instruments.size(), 3);
    qputenv("XDG_DATA_HOME", qgetenv(kDataEnv));
    PersonlessWindow w;
    for (int n = 1; n <= 3; ++n) {
        const QStringList hostPort = instruments[n - 1].split(':');
        test::connectThroughTheDialog(w.panel(n), hostPort[0], hostPort[1].toInt());
    }
    QEventLoop untilKilled;
    // Should the parent be gone, this is no orphan for long.
    QTimer::singleShot(120000, &untilKilled, &QEventLoop::quit);
    untilKilled.exec();
}

struct Sent {
    qint64 timeMs;
    bool fix;
    float latitude, longitude;
};

// The status frames in the simulator's log, by serial.
std::map<QString, std::vector<Sent>> statusesOf(const QString &logPath) {
    std::map<QString, std::vector<Sent>> sent;
    QFile log(logPath);
    EXPECT_TRUE(log.open(QIODevice::ReadOnly));
    while (!log.atEnd()) {
        const QList<QByteArray> f = log.readLine().trimmed().split(' ');
        if (f.size() != 4 || f[2].toInt() != M30_EVENT_STATUS) continue;
        const QByteArray payload = QByteArray::fromHex(f[3]);
        M30_status s{};
        if (payload.size() < qsizetype(sizeof s)) continue;
        std::memcpy(&s, payload.constData(), sizeof s);
        sent[QString::fromLatin1(f[1])].push_back(
            {f[0].toLongLong(), s.gps_valid != 0, s.gps_latitude, s.gps_longitude});
    }
    return sent;
}

qint64 statusCount(const QString &logPath) {
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly)) return 0;
    const QByteArray status = " " + QByteArray::number(M30_EVENT_STATUS) + " ";
    return log.readAll().count(status);
}

QString journalIn(const QString &dataDir) {
    QDirIterator it(dataDir + "/Survokart/surveys", {"*.gpkg"}, QDir::Files);
    return it.hasNext() ? it.next() : QString();
}

TEST(Crash, AKilledApplicationLosesAtMostTheLastSecondOfAThreeInstrumentSurvey) {
    QTemporaryDir dir;
    std::string error;
    auto log = sim::EventLog::open((dir.path() + "/events.log").toStdString(), &error);
    ASSERT_TRUE(log) << error;
    sim::M30Options fastest;
    fastest.rate_hz = 50;
    fastest.gps_outages = false;
    QStringList addresses;
    std::vector<std::unique_ptr<test::Field>> fields;
    for (int n = 1; n <= 3; ++n) {
        fastest.walk.seed = n;
        fastest.walk.latitude = 49.2 + 0.002 * n;
        fields.push_back(std::make_unique<test::Field>(
            "127.0.0." + std::to_string(n), "C000000" + std::to_string(n), fastest, log));
        addresses << QString("127.0.0.%1:%2").arg(n).arg(fields.back()->instrument.port());
    }

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildEnv, addresses.join(','));
    env.insert(kDataEnv, dir.path() + "/data");
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(QCoreApplication::applicationFilePath(),
              {"--gtest_filter=Crash.DISABLED_ChildRunsTheSurveyUntilKilled",
               "--gtest_also_run_disabled_tests"});
    ASSERT_TRUE(app.waitForStarted());

    // Killed once all three have been journalling for a while; the journal is read back some
    // twenty times a second, not more, so that the child keeps the cores.
    auto journalled = [&] {
        std::this_thread::sleep_for(50ms);
        std::map<QString, int> perSerial;
        SurveyJournalReader reader;
        if (!reader.open(journalIn(dir.path() + "/data"))) return false;
        for (const SurveyReading &r : reader.readings())
            ++perSerial[r.serial];
        int serials = 0;
        for (const auto &[serial, n] : perSerial)
            serials += !serial.isEmpty() && n >= 150;
        return serials == 3;
    };
    ASSERT_TRUE(test::eventually(journalled, 60s));
    // Then at a moment of the instruments' choosing, not just after the journal's last commit:
    // once they have sent another second and a half of statuses.
    const qint64 seen = statusCount(dir.path() + "/events.log");
    ASSERT_TRUE(test::eventually(
        [&] {
            std::this_thread::sleep_for(20ms);
            return statusCount(dir.path() + "/events.log") >= seen + 3 * 75;
        },
        60s));
    const qint64 killedMs = QDateTime::currentMSecsSinceEpoch();
    ::kill(pid_t(app.processId()), SIGKILL);
    ASSERT_TRUE(app.waitForFinished());
    fields.clear();  // the log is complete

    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(journalIn(dir.path() + "/data"))) << reader.errorString().toStdString();
    EXPECT_FALSE(reader.info().endedCleanly());
    // What was journalled, by serial: positions of fixes, and how many had none.
    std::map<QString, std::multiset<std::pair<float, float>>> fixes;
    std::map<QString, int> withoutFix;
    for (const SurveyReading &r : reader.readings()) {
        if (r.usable())
            fixes[r.serial].insert({float(r.latitude), float(r.longitude)});
        else
            ++withoutFix[r.serial];
    }
    int checked = 0;
    for (const auto &[serial, statuses] : statusesOf(dir.path() + "/events.log")) {
        int missing = 0;
        for (const Sent &s : statuses) {
            const bool due = s.timeMs <= killedMs - kLossMs;
            checked += due;
            if (!s.fix) {
                if (withoutFix[serial]-- <= 0) missing += due;
                continue;
            }
            auto found = fixes[serial].find({s.latitude, s.longitude});
            if (found != fixes[serial].end())
                fixes[serial].erase(found);
            else
                missing += due;
        }
        EXPECT_EQ(missing, 0) << serial.toStdString() << " of " << statuses.size() << " sent";
        // Nothing journalled that this instrument did not send, nor anything twice.
        EXPECT_TRUE(fixes[serial].empty()) << serial.toStdString();
        EXPECT_LE(withoutFix[serial], 0) << serial.toStdString();
        fixes.erase(serial);
    }
    EXPECT_GE(checked, 3 * 100);
    EXPECT_TRUE(fixes.empty()) << "readings under a serial that sent none";
}

}  // namespace
