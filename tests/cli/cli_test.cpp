// survokart-cli against the simulated M30, in-process.
#include <gtest/gtest.h>

#include "survokart/version.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "cli/commands.h"
#include "cli/session.h"
#include "common/eventually.h"
#include "sim/m30_model.h"
#include "surveyjournal.h"
#include "surveyjournalreader.h"

namespace {

using namespace std::chrono_literals;

#if defined(__has_feature)
constexpr bool kThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kThreadSanitizer = false;
#endif

struct Outcome {
    int code;
    QString out, err;
};

Outcome cli(const QStringList &args) {
    QString out, err;
    QTextStream o(&out), e(&err);
    int code = runCli(args, o, e);
    o.flush();
    e.flush();
    return {code, out, err};
}

class Cli : public ::testing::Test {
protected:
    sim::M30Options m30Options() {
        sim::M30Options m;
        m.events = false;
        m.history.records = 12;
        m.history.days = 2;
        // Fixed here so that the instrument and the count below make up the same records.
        m.history.end_time = QDateTime::currentSecsSinceEpoch() - 60;
        return m;
    }
    sim::Instrument instrument{sim::in_process_options()};
    sim::M30Options m30opts = m30Options();
    sim::M30Model m30{instrument, m30opts};
    QString target;

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(instrument.start(&error)) << error;
        target = "127.0.0.1:" + QString::number(instrument.port());
    }

    // Points with a fix in the instrument's history, counted on the instrument's side.
    int pointsWithAFix() {
        sim::Walk walk(m30opts.walk);
        int n = 0;
        sim::SurveyMemory memory(walk, m30opts.history);
        for (int32_t id : memory.ids()) {
            std::optional<sim::SurveyRecord> record = memory.record(id);
            for (const sim::SurveyPoint &p : record->points)
                n += p.valid ? 1 : 0;
        }
        return n;
    }
};

TEST_F(Cli, IdentifyNamesTheInstrument) {
    Outcome r = cli({"identify", target});
    ASSERT_EQ(r.code, EXIT_OK) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("type: M30")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("serial: C0000001")) << r.out.toStdString();
}

TEST_F(Cli, DownloadAllAsGeoJsonListsEveryPointWithAFix) {
    QTemporaryDir dir;
    QString file = dir.filePath("survey.geojson");
    Outcome r = cli({"download", target, "--all", "--format", "geojson", "-o", file});
    ASSERT_EQ(r.code, EXIT_OK) << r.err.toStdString();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_FALSE(QFile::exists(file + ".partial"));
    QJsonArray features = doc.object()["features"].toArray();
    EXPECT_EQ(features.size(), pointsWithAFix());
    // Oldest first.
    EXPECT_LE(features.first().toObject()["properties"].toObject()["time"].toString(),
              features.last().toObject()["properties"].toObject()["time"].toString());
}

// Whatever someone put under NAME.partial (a link to another file, a FIFO) is neither written
// through, blocked on, nor removed.
TEST_F(Cli, OutputRefusesALinkOrFifoUnderThePartialName) {
    QTemporaryDir dir;
    const QString victim = dir.filePath("notes.txt");
    QFile notes(victim);
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly) && notes.write("mine\n") == 5);
    notes.close();
    const QString linked = dir.filePath("a.csv"), piped = dir.filePath("b.csv");
    ASSERT_TRUE(QFile::link(victim, linked + ".partial"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(piped + ".partial").constData(), 0600), 0);
    // A reader at the other end, so that a writer that opens the FIFO is not stuck there.
    const int reader =
        ::open(QFile::encodeName(piped + ".partial").constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const QString &file : {linked, piped}) {
        Outcome r = cli({"download", target, "--all", "--format", "csv", "-o", file});
        EXPECT_EQ(r.code, EXIT_FILE) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(file + ".partial")) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(file));
    }
    EXPECT_TRUE(QFileInfo(linked + ".partial").isSymLink());
    EXPECT_EQ(QFileInfo(piped + ".partial").isFile(), false);
    ASSERT_TRUE(notes.open(QIODevice::ReadOnly));
    EXPECT_EQ(notes.readAll(), "mine\n");
    ::close(reader);
}

TEST_F(Cli, DownloadKeepsTheNewestWindow) {
    Outcome all = cli({"download", target, "--all", "--format", "csv"});
    Outcome recent = cli({"download", target, "--hours", "1", "--format", "csv"});
    ASSERT_EQ(all.code, EXIT_OK);
    ASSERT_EQ(recent.code, EXIT_OK);
    int allRows = static_cast<int>(all.out.count('\n'));
    int recentRows = static_cast<int>(recent.out.count('\n'));
    EXPECT_GT(recentRows, 1);  // the newest record is a minute old
    EXPECT_LT(recentRows, allRows);
    EXPECT_TRUE(all.out.endsWith(recent.out.section('\n', 1)));
}

TEST_F(Cli, KeysRecordingAndThePicture) {
    EXPECT_EQ(cli({"key", target, "down"}).code, EXIT_OK);
    EXPECT_EQ(m30.state().menu_selected, 1);
    EXPECT_EQ(cli({"record", target, "on"}).code, EXIT_OK);
    EXPECT_TRUE(m30.state().recording);
    QTemporaryDir dir;
    Outcome r = cli({"display", target, "-o", dir.filePath("d.png")});
    ASSERT_EQ(r.code, EXIT_OK) << r.err.toStdString();
    QFile f(dir.filePath("d.png"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.read(8).startsWith("\x89PNG"));
}

TEST_F(Cli, EachFailureHasItsOwnExitCode) {
    // Arguments are checked before any link is opened.
    EXPECT_EQ(cli({"identify", "USBX/what"}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"frobnicate", target}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"download", target, "--format", "xml"}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"download", target, "--format", "csv", "--dayz", "2"}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"download", target, "--format", "csv", "--days", "1", "--all"}).code,
              EXIT_USAGE);
    EXPECT_EQ(cli({"monitor", target, "--count", "0"}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"key", target, "sideways"}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"record", target, "on", "now"}).code, EXIT_USAGE);
    EXPECT_EQ(instrument.links_accepted(), 0);
    Outcome help = cli({"download", "--help"});
    EXPECT_EQ(help.code, EXIT_OK);
    EXPECT_TRUE(help.out.startsWith("usage: survokart-cli")) << help.out.toStdString();
    // The version is the build's own, as every program shows it.
    EXPECT_EQ(cli({"--version"}).out, "survokart-cli " SURVOKART_VERSION "\n");

    instrument.set_serial("X0000001");  // recognised, but as another model
    Outcome other = cli({"identify", target});
    EXPECT_EQ(other.code, EXIT_NOT_M30);
    EXPECT_TRUE(other.err.contains("not an M30")) << other.err.toStdString();

    int port = instrument.port();
    instrument.stop();
    Outcome refused = cli({"identify", "127.0.0.1:" + QString::number(port)});
    EXPECT_EQ(refused.code, EXIT_REFUSED);
    EXPECT_TRUE(refused.err.contains("could not open the link")) << refused.err.toStdString();
}

TEST_F(Cli, SilenceIsNotARefusal) {
    sim::Faults silent;
    silent.drop = 1;
    instrument.set_faults(silent);
    Outcome dropped = cli({"key", target, "down"});
    EXPECT_EQ(dropped.code, EXIT_NO_ANSWER);
    EXPECT_TRUE(dropped.err.contains("did not answer the key press")) << dropped.err.toStdString();

    sim::Faults again;
    again.retry0 = 1;  // only ever "send it again"
    instrument.set_faults(again);
    EXPECT_EQ(cli({"download", target, "--all", "--format", "csv"}).code, EXIT_NO_ANSWER);
    EXPECT_EQ(cli({"record", target, "on"}).code, EXIT_NO_ANSWER);

    sim::Faults refusing;
    refusing.refuse = 1;
    instrument.set_faults(refusing);
    Outcome refused = cli({"record", target, "on"});
    EXPECT_EQ(refused.code, EXIT_FAILED);
    EXPECT_TRUE(refused.err.contains("refused")) << refused.err.toStdString();
    EXPECT_EQ(cli({"identify", target}).code, EXIT_FAILED);
}

// A download the link cut short leaves FILE as it was and what arrived in FILE.partial.
TEST_F(Cli, ACutDownloadLeavesItsPartialFileAndTheOldFile) {
    QTemporaryDir dir;
    QString file = dir.filePath("survey.csv");
    auto expectCut = [&](const Outcome &r) {
        EXPECT_EQ(r.code, EXIT_NO_ANSWER) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(file + ".partial")) << r.err.toStdString();
        QFile old(file), partial(file + ".partial");
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), "old\n");
        ASSERT_TRUE(partial.open(QIODevice::ReadOnly));
        QByteArray rows = partial.readAll();
        EXPECT_TRUE(rows.startsWith("time,") && rows.endsWith('\n'));
        EXPECT_GT(rows.count('\n'), 1);
        EXPECT_LT(rows.count('\n'), pointsWithAFix() + 1);
        partial.remove();
    };
    QFile old(file);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("old\n") == 4);
    old.close();

    // The instrument closes the link after 20 frames: the probe's answer, the list, 3-4 records.
    sim::Faults closing;
    closing.close_after_frames = 20;
    instrument.set_faults(closing);
    expectCut(cli({"download", target, "--all", "--format", "csv", "-o", file}));

    // The instrument restarts half-way; answers are slowed so that it is still at it.
    sim::Faults slow;
    slow.delay_ms = 50;
    instrument.set_faults(slow);
    instrument.clear_commands();
    std::thread restart([&] {
        if (instrument.wait_commands(20, test::kDeadline)) instrument.restart(1s);
    });
    Outcome r = cli({"download", target, "--all", "--format", "csv", "-o", file});
    restart.join();
    expectCut(r);
}

TEST(CliSilent, AnInstrumentThatNeverAnswersIsReported) {
    sim::Options o = sim::in_process_options();
    o.faults.ignore_probes = true;
    sim::Instrument silent(o);
    ASSERT_TRUE(silent.start());
    Outcome r = cli({"identify", "127.0.0.1:" + QString::number(silent.port())});
    EXPECT_EQ(r.code, EXIT_NO_ANSWER);
    EXPECT_TRUE(r.err.contains("no instrument answered")) << r.err.toStdString();
}

// The program itself: Ctrl-C and its standard output.
class CliProcess : public ::testing::Test {
protected:
    sim::M30Options m30Options() {
        sim::M30Options m;
        m.rate_hz = 10;
        m.history.records = 12;
        return m;
    }
    sim::Instrument instrument{sim::in_process_options()};
    sim::M30Model m30{instrument, m30Options()};
    QString target;

    void SetUp() override {
        // Its runtime stops at QProcess starting a child of a program with threads.
        if (kThreadSanitizer) GTEST_SKIP() << "no child processes under ThreadSanitizer";
        std::string error;
        ASSERT_TRUE(instrument.start(&error)) << error;
        target = "127.0.0.1:" + QString::number(instrument.port());
    }

    static void start(QProcess &p, const QStringList &arguments) {
        p.start(SURVOKART_CLI, arguments);
        ASSERT_TRUE(p.waitForStarted()) << p.errorString().toStdString();
    }
    // Sends Ctrl-C and waits for the program to end by itself; its exit code.
    static int interrupt(QProcess &p) {
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit) return -1;
        return p.exitCode();
    }
    bool sawCommand(uint16_t code) {
        for (const std::vector<uint8_t> &frame : instrument.commands_seen())
            if (frame.size() >= 6 && (frame[4] | frame[5] << 8) == code) return true;
        return false;
    }
};

TEST_F(CliProcess, CtrlCEndsMonitorAndDownloadAndAFullOutputIsAnError) {
    QProcess monitor;
    start(monitor, {"monitor", target});
    ASSERT_TRUE(test::eventually([&] {
        monitor.waitForReadyRead(10);
        return monitor.canReadLine();
    })) << monitor.readAllStandardError().toStdString();
    EXPECT_TRUE(sawCommand(M30_CMD_SET_EVENT_FILTER));
    EXPECT_EQ(interrupt(monitor), EXIT_OK) << monitor.readAllStandardError().toStdString();
    EXPECT_TRUE(test::eventually([&] { return !instrument.linked(); }));

    // Slowed so that Ctrl-C comes while records are still on their way.
    sim::Faults slow;
    slow.delay_ms = 300;
    instrument.set_faults(slow);
    instrument.clear_commands();
    QTemporaryDir dir;
    QString file = dir.filePath("survey.geojson");
    QProcess download;
    start(download, {"download", target, "--all", "--format", "geojson", "-o", file});
    ASSERT_TRUE(instrument.wait_commands(10, 30s));
    EXPECT_EQ(interrupt(download), EXIT_INTERRUPTED);
    QString err = download.readAllStandardError();
    EXPECT_TRUE(err.contains(file + ".partial")) << err.toStdString();
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(test::eventually([&] { return !instrument.linked(); }));

    instrument.set_faults({});
    QProcess full;
    full.setStandardOutputFile("/dev/full");
    start(full, {"download", target, "--all", "--format", "csv"});
    ASSERT_TRUE(full.waitForFinished(30000));
    EXPECT_EQ(full.exitCode(), EXIT_FILE);
    EXPECT_TRUE(full.readAllStandardError().contains("standard output"));
}

TEST_F(CliProcess, ALinkThatCannotOpenSaysWhy) {
    int port = instrument.port();
    instrument.stop();
    const std::pair<QString, const char *> cases[] = {
        {"127.0.0.1:" + QString::number(port), "Connection refused"},
        {"BLTH/zz/1/9153/2000/0/M30", "not a Bluetooth device address"},
    };
    for (const auto &[conn, reason] : cases) {
        QProcess p;
        start(p, {"identify", conn});
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), EXIT_REFUSED);
        QString err = p.readAllStandardError();
        EXPECT_TRUE(err.contains(reason)) << err.toStdString();
    }
}

}  // namespace

namespace {

TEST(CliMonitor, SetsTheEventFilterAsAHostMust) {
    sim::Instrument instrument{sim::in_process_options()};
    sim::M30Options m;
    m.rate_hz = 50;
    sim::M30Model model{instrument, m};
    ASSERT_TRUE(instrument.start());
    Outcome r = cli({"monitor", "127.0.0.1:" + QString::number(instrument.port()), "--count", "3"});
    ASSERT_EQ(r.code, EXIT_OK) << r.err.toStdString();
    EXPECT_EQ(r.out.count('\n'), 3);
}

}  // namespace

namespace {

// A survey journal written out by the tool, with no instrument; one it cannot read is named.
TEST(CliExport, WritesAJournalAndNamesOneItCannotRead) {
    QTemporaryDir dir;
    const QString journal = dir.filePath("field.gpkg");
    {
        SurveyJournal j;
        ASSERT_TRUE(j.create(journal, "field", 0)) << j.errorString().toStdString();
        SurveyReading r;
        r.timeMs = 1700000000000;
        r.serial = "C0000001";
        r.fix = true;
        r.latitude = 49.2;
        r.longitude = 16.6;
        r.countRate = 250;
        j.append(r);
        ASSERT_TRUE(j.end(1700000001000));
    }
    Outcome csv = cli({"export", journal, "--format", "csv"});
    ASSERT_EQ(csv.code, EXIT_OK) << csv.err.toStdString();
    EXPECT_EQ(csv.out,
              "time,latitude,longitude,altitude,count_rate,dose_rate,unit,instrument,serial,fix,"
              "downloaded,dose,alarm\n2023-11-14T22:13:20Z,49.2,16.6,,250,,nGy/h,1,C0000001,1,0,"
              "0,\n");
    const QString gpx = dir.filePath("field.gpx");
    EXPECT_EQ(cli({"export", journal, "--format", "gpx", "-o", gpx}).code, EXIT_OK);
    EXPECT_TRUE(QFileInfo(gpx).size() > 0);
    EXPECT_EQ(cli({"export", journal, "--format", "kml", "--colours", "nocolour"}).code,
              EXIT_USAGE);
    EXPECT_EQ(cli({"export", journal, "--format", "csv", "-o", journal}).code, EXIT_USAGE);
    SurveyJournalReader reader;
    EXPECT_TRUE(reader.open(journal) && reader.readings().size() == 1);

    Outcome missing = cli({"export", dir.filePath("none.gpkg"), "--format", "kml"});
    EXPECT_EQ(missing.code, EXIT_INPUT);
    EXPECT_TRUE(missing.err.contains(dir.filePath("none.gpkg"))) << missing.err.toStdString();
}

}  // namespace
