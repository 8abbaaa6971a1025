// The survey journal: what survives a killed writer, what another folder or program sees of it,
// and what it refuses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <cmath>
#include <cstring>

#include "common/eventually.h"
#include "handover.h"
#include "surveyjournal.h"
#include "surveyjournalreader.h"

// GDAL, not built with ThreadSanitizer, nests two of its global mutexes in both orders within one
// thread while it creates and opens datasets: a report about its internals, not our use of it.
extern "C" const char *__tsan_default_suppressions() {
    return "deadlock:libgdal.so\n";
}

namespace {

using namespace std::chrono_literals;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray contents(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

SurveyReading reading(qint64 timeMs, int instrument, bool fix) {
    SurveyReading r;
    r.timeMs = timeMs;
    r.instrument = instrument;
    r.serial = QStringLiteral("C000000%1").arg(instrument);
    r.fix = fix;
    if (fix) {
        r.latitude = 49.1 + (timeMs % 100000) * 1e-7;
        r.longitude = 16.6;
        r.altitude = 250.5;
    }
    r.countRate = 100 + timeMs % 7;
    r.doseRate = 85.25;
    r.doseUnit = 1;
    return r;
}

void expectSame(const std::vector<SurveyReading> &got, const std::vector<SurveyReading> &want) {
    ASSERT_EQ(got.size(), want.size());
    auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
    for (size_t i = 0; i < got.size(); ++i) {
        const SurveyReading &g = got[i], &w = want[i];
        EXPECT_TRUE(g.timeMs == w.timeMs && g.instrument == w.instrument && g.serial == w.serial &&
                    g.fix == w.fix && same(g.latitude, w.latitude) &&
                    same(g.longitude, w.longitude) && same(g.altitude, w.altitude) &&
                    same(g.countRate, w.countRate) && same(g.doseRate, w.doseRate) &&
                    g.doseUnit == w.doseUnit && g.recordId == w.recordId &&
                    g.recordPoint == w.recordPoint)
            << "reading " << i;
    }
}

// A child journals 1000 readings a second and is killed without warning: every reading it
// handed over more than a second before is in the file, in order, and the file opens.
TEST(Journal, AKilledWriterLosesAtMostTheLastSecond) {
    QTemporaryDir dir;
    const QString journal = dir.filePath("killed.gpkg"), shared = dir.filePath("handover");
    {
        QFile f(shared);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(sizeof(Handover)));
    }
    const int fd = ::open(QFile::encodeName(shared).constData(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto *h = static_cast<Handover *>(
        ::mmap(nullptr, sizeof(Handover), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ::close(fd);
    ASSERT_NE(h, MAP_FAILED);
    QByteArray journalName = QFile::encodeName(journal), sharedName = QFile::encodeName(shared);
    char *argv[] = {const_cast<char *>(JOURNAL_WRITER_CHILD), journalName.data(), sharedName.data(),
                    nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, JOURNAL_WRITER_CHILD, nullptr, nullptr, argv, environ), 0);
    // Two seconds of readings, so that a second's worth is old enough to be owed.
    const bool ran = test::eventually(
        [&] {
            const int64_t n = h->count.load(std::memory_order_acquire);
            return n > 0 && h->at[n - 1] - h->at[0] > 2'000'000'000;
        },
        60s);
    const int64_t killedAt = nowNs();
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(ran) << "the child journalled " << h->count.load() << " readings; status "
                     << status;
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    const int64_t handed = h->count.load(std::memory_order_acquire);
    int64_t owed = 0;
    while (owed < handed && h->at[owed] + 1'000'000'000 <= killedAt)
        ++owed;

    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(journal)) << reader.errorString().toStdString();
    EXPECT_FALSE(reader.info().endedCleanly());
    std::vector<SurveyReading> got = reader.readings();
    ASSERT_TRUE(reader.errorString().isEmpty()) << reader.errorString().toStdString();
    EXPECT_GE(static_cast<int64_t>(got.size()), owed)
        << "of " << handed << " handed over, " << owed << " more than a second before the kill";
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i].timeMs != static_cast<qint64>(i) || got[i].countRate != static_cast<double>(i)) {
            ADD_FAILURE() << "reading " << i << " is " << got[i].timeMs;
            break;
        }
    ::munmap(h, sizeof(Handover));
}

// What the app journals comes back the same from a copy in another folder, in order, with the
// record downloaded twice only once; GDAL reads the copy as a GeoPackage of the same points.
TEST(Journal, ACopyInAnotherFolderGivesTheSamePoints) {
    QTemporaryDir dir;
    const QString path = dir.filePath("survey.gpkg");
    std::vector<SurveyReading> want;
    for (int i = 0; i < 30; ++i)
        want.push_back(reading(1700000000000 + 100 * i, 1 + i % 3, i % 5 != 0));
    std::vector<SurveyReading> record;
    for (int j = 0; j < 4; ++j) {
        SurveyReading r = reading(1699990000000, 2, true);
        r.recordId = 17;
        r.recordPoint = j;
        record.push_back(r);
    }
    {
        SurveyJournal journal;
        ASSERT_TRUE(journal.create(path, QString::fromUtf8("Feld \xC3\xB6st"), 1700000000000))
            << journal.errorString().toStdString();
        journal.append(std::vector<SurveyReading>(want.begin(), want.begin() + 20));
        journal.append(record);
        ASSERT_TRUE(journal.flush());
        journal.append(record);  // downloaded again
        for (size_t i = 20; i < want.size(); ++i)
            journal.append(want[i]);
    }  // the program goes away without ending the survey
    want.insert(want.begin() + 20, record.begin(), record.end());

    SurveyJournalReader interrupted;
    ASSERT_TRUE(interrupted.open(path)) << interrupted.errorString().toStdString();
    EXPECT_FALSE(interrupted.info().endedCleanly());
    {
        SurveyJournal journal;
        ASSERT_TRUE(journal.reopen(path)) << journal.errorString().toStdString();
        journal.append(reading(1700000009000, 3, true));
        ASSERT_TRUE(journal.end(1700000010000)) << journal.errorString().toStdString();
    }
    want.push_back(reading(1700000009000, 3, true));
    EXPECT_FALSE(QFile::exists(path + "-wal"));

    QTemporaryDir other;
    const QString copy = other.filePath("copied.gpkg");
    ASSERT_TRUE(QFile::copy(path, copy));
    ASSERT_TRUE(QFile::remove(path));
    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(copy)) << reader.errorString().toStdString();
    EXPECT_EQ(reader.info().name, QString::fromUtf8("Feld \xC3\xB6st"));
    EXPECT_EQ(reader.info().startMs, 1700000000000);
    EXPECT_TRUE(reader.info().endedCleanly());
    EXPECT_EQ(reader.info().endMs, 1700000010000);
    expectSame(reader.readings(), want);

    GDALAllRegister();
    const char *const gpkg[] = {"GPKG", nullptr};
    CPLErrorReset();
    GDALDataset *ds =
        GDALDataset::Open(copy.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY, gpkg);
    ASSERT_NE(ds, nullptr) << CPLGetLastErrorMsg();
    EXPECT_EQ(CPLGetLastErrorType(), CE_None) << CPLGetLastErrorMsg();
    OGRLayer *layer = ds->GetLayerByName("readings");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetFeatureCount(), static_cast<GIntBig>(want.size()));
    EXPECT_NE(ds->GetLayerByName("survey"), nullptr);
    layer->ResetReading();
    for (const SurveyReading &w : want) {
        OGRFeature *f = layer->GetNextFeature();
        ASSERT_NE(f, nullptr);
        const OGRGeometry *g = f->GetGeometryRef();
        EXPECT_EQ(g != nullptr, w.fix);
        if (g) {
            EXPECT_DOUBLE_EQ(g->toPoint()->getX(), w.longitude);
            EXPECT_DOUBLE_EQ(g->toPoint()->getY(), w.latitude);
        }
        EXPECT_EQ(f->GetFieldAsDouble("count_rate"), w.countRate);
        OGRFeature::DestroyFeature(f);
    }
    EXPECT_EQ(CPLGetLastErrorType(), CE_None) << CPLGetLastErrorMsg();
    GDALClose(ds);
}

// A journal that is damaged, read-only or held by another program is refused with the file's
// name and the reason, and left as it was; a new journal never takes an existing name.
TEST(Journal, ADamagedReadOnlyOrLockedJournalIsRefusedAndLeftAsItWas) {
    QTemporaryDir dir;
    const QString good = dir.filePath("good.gpkg");
    {
        SurveyJournal journal;
        ASSERT_TRUE(journal.create(good, "good", 0));
        journal.append(reading(1, 1, true));
        ASSERT_TRUE(journal.end(2));
    }
    const QByteArray goodBytes = contents(good);

    const QString damaged = dir.filePath("damaged.gpkg");
    QByteArray garbage = goodBytes;
    garbage.replace(0, 16, "not SQLite here.");
    {
        QFile f(damaged);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(garbage) == garbage.size());
    }
    SurveyJournal journal;
    EXPECT_FALSE(journal.reopen(damaged));
    EXPECT_TRUE(journal.errorString().contains(damaged) &&
                journal.errorString().contains("damaged"))
        << journal.errorString().toStdString();
    SurveyJournalReader reader;
    EXPECT_FALSE(reader.open(damaged));
    EXPECT_TRUE(reader.errorString().contains("damaged")) << reader.errorString().toStdString();
    EXPECT_FALSE(journal.create(damaged, "again", 0));
    EXPECT_TRUE(journal.errorString().contains("exists")) << journal.errorString().toStdString();
    EXPECT_EQ(contents(damaged), garbage);

    const QString planted = dir.filePath("planted.gpkg");
    ASSERT_TRUE(QFile::link(good, planted));
    EXPECT_FALSE(journal.create(planted, "through a link", 0));
    EXPECT_FALSE(journal.reopen(planted));
    EXPECT_TRUE(journal.errorString().contains("link")) << journal.errorString().toStdString();

    ASSERT_EQ(::chmod(QFile::encodeName(good).constData(), 0444), 0);
    EXPECT_FALSE(journal.reopen(good));
    EXPECT_TRUE(journal.errorString().contains(good) && journal.errorString().contains("read-only"))
        << journal.errorString().toStdString();
    ASSERT_EQ(::chmod(QFile::encodeName(good).constData(), 0644), 0);

    // Another program in the middle of writing to it.
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(good).constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_FALSE(journal.reopen(good));
    EXPECT_TRUE(journal.errorString().contains(good) &&
                journal.errorString().contains("another program"))
        << journal.errorString().toStdString();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    EXPECT_EQ(contents(good), goodBytes);

    // Taken over by another program in the middle of a survey: the journal says so, once, and
    // takes no more; what it had written stays.
    ASSERT_TRUE(journal.reopen(good)) << journal.errorString().toStdString();
    QStringList told;
    QObject::connect(&journal, &SurveyJournal::failed, [&](const QString &m) { told << m; });
    journal.append(reading(3, 1, true));
    ASSERT_TRUE(journal.flush());
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    journal.append(reading(4, 1, true));
    EXPECT_FALSE(journal.flush());
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains(good) && told[0].contains("another program"))
        << told[0].toStdString();
    EXPECT_EQ(journal.errorString(), told[0]);
    journal.append(reading(5, 1, true));
    EXPECT_FALSE(journal.flush());
    // Neither the reading the failure caught nor one handed over after it is lost.
    SurveyAlarm alarm;
    alarm.timeMs = 5;
    journal.append(alarm);
    const SurveyBacklog unwritten = journal.takeUnwritten();
    expectSame(unwritten.readings, {reading(4, 1, true), reading(5, 1, true)});
    ASSERT_EQ(unwritten.alarms.size(), 1u);
    EXPECT_EQ(unwritten.alarms[0].timeMs, 5);
    EXPECT_FALSE(journal.end(6));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    SurveyJournalReader reader2;
    ASSERT_TRUE(reader2.open(good));
    EXPECT_FALSE(reader2.info().endedCleanly());
    EXPECT_EQ(reader2.readings().size(), 2u);
    EXPECT_EQ(told.size(), 1);
}

}  // namespace

namespace {
SurveyAlarm alarm(qint64 timeMs, SurveyAlarm::Event event, double value) {
    SurveyAlarm a;
    a.timeMs = timeMs;
    a.instrument = 2;
    a.serial = QStringLiteral("C0000002");
    a.event = event;
    a.value = value;
    a.doseUnit = 1;
    a.threshold = 500;
    return a;
}
}  // namespace

// Alarms and spectra go into the journal beside the readings and read back (GDAL sees them as
// tables of the GeoPackage); a journal written before they existed still reads, and takes them
// once it is reopened.
TEST(Journal, AlarmsAndSpectraAreKeptAlsoInAJournalOlderThanThem) {
    QTemporaryDir dir;
    const QString path = dir.filePath("survey.gpkg");
    const std::vector<SurveyAlarm> want = {
        alarm(1700000001000, SurveyAlarm::Start, 612),
        alarm(1700000002500, SurveyAlarm::Acknowledged, SurveyReading::kNone),
        alarm(1700000009000, SurveyAlarm::Peak, 2500), alarm(1700000009000, SurveyAlarm::End, 300)};
    SurveySpectrum spectrum;
    spectrum.timeMs = 1700000005000;
    spectrum.instrument = 2;
    spectrum.liveTime = 4900;
    spectrum.clockTime = 5000;
    spectrum.counts = {0, 7, -1, 1 << 30};
    {
        SurveyJournal journal;
        ASSERT_TRUE(journal.create(path, "Field", 1700000000000));
        journal.append(reading(1700000000500, 2, true));
        for (const SurveyAlarm &a : want)
            journal.append(a);
        journal.append(spectrum);
        ASSERT_TRUE(journal.end(1700000010000)) << journal.errorString().toStdString();
    }
    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(path));
    const std::vector<SurveyAlarm> got = reader.alarms();
    ASSERT_EQ(got.size(), want.size()) << reader.errorString().toStdString();
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].timeMs, want[i].timeMs);
        EXPECT_EQ(got[i].event, want[i].event);
        EXPECT_EQ(got[i].reading, SurveyAlarm::DoseRate);
        EXPECT_EQ(got[i].serial, "C0000002");
        EXPECT_EQ(got[i].doseUnit, 1);
        EXPECT_EQ(got[i].threshold, 500);
        EXPECT_TRUE(got[i].value == want[i].value ||
                    (std::isnan(got[i].value) && std::isnan(want[i].value)));
    }
    EXPECT_EQ(reader.readings().size(), 1u);

    GDALAllRegister();
    const char *const gpkg[] = {"GPKG", nullptr};
    CPLErrorReset();
    GDALDataset *ds =
        GDALDataset::Open(path.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY, gpkg);
    ASSERT_NE(ds, nullptr) << CPLGetLastErrorMsg();
    ASSERT_NE(ds->GetLayerByName("alarms"), nullptr);
    EXPECT_EQ(ds->GetLayerByName("alarms")->GetFeatureCount(), 4);
    OGRLayer *spectra = ds->GetLayerByName("spectra");
    ASSERT_NE(spectra, nullptr);
    OGRFeature *f = spectra->GetNextFeature();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->GetFieldAsInteger("channels"), 4);
    int bytes = 0;
    const GByte *blob = f->GetFieldAsBinary(f->GetFieldIndex("counts"), &bytes);
    ASSERT_EQ(bytes, 16);
    int32_t counts[4];
    std::memcpy(counts, blob, 16);  // little-endian, as this machine
    EXPECT_EQ(std::vector<int32_t>(counts, counts + 4), spectrum.counts);
    OGRFeature::DestroyFeature(f);
    GDALClose(ds);

    // As an earlier version wrote it: no tables for alarms and spectra.
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "DROP TABLE alarms; DROP TABLE spectra; DELETE FROM gpkg_contents "
                           "WHERE table_name IN ('alarms', 'spectra')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    SurveyJournalReader old;
    ASSERT_TRUE(old.open(path)) << old.errorString().toStdString();
    EXPECT_TRUE(old.alarms().empty());
    EXPECT_TRUE(old.errorString().isEmpty()) << old.errorString().toStdString();
    {
        SurveyJournal journal;
        ASSERT_TRUE(journal.reopen(path)) << journal.errorString().toStdString();
        journal.append(want[0]);
        journal.append(spectrum);
        ASSERT_TRUE(journal.end(1700000020000)) << journal.errorString().toStdString();
    }
    EXPECT_EQ(old.alarms().size(), 1u);
    EXPECT_EQ(old.readings().size(), 1u);
}
