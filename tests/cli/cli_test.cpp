// survokart-cli against the simulated M30, in-process.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTextStream>

#include "cli/commands.h"
#include "cli/session.h"
#include "sim/m30_model.h"

namespace {

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
    QJsonArray features = doc.object()["features"].toArray();
    EXPECT_EQ(features.size(), pointsWithAFix());
    // Oldest first.
    EXPECT_LE(features.first().toObject()["properties"].toObject()["time"].toString(),
              features.last().toObject()["properties"].toObject()["time"].toString());
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
    EXPECT_EQ(cli({"identify", "USBX/what"}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"frobnicate", target}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"download", target, "--format", "xml"}).code, EXIT_USAGE);
    EXPECT_EQ(cli({"key", target, "sideways"}).code, EXIT_USAGE);

    int port = instrument.port();
    instrument.stop();
    Outcome refused = cli({"identify", "127.0.0.1:" + QString::number(port)});
    EXPECT_EQ(refused.code, EXIT_REFUSED);
    EXPECT_TRUE(refused.err.contains("could not open the link")) << refused.err.toStdString();
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
