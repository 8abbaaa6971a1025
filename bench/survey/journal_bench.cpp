// The journal's CPU cost: 10^6 readings handed over one by one and written by its thread, against
// raw SQLite inserts of the same rows into the same table in one transaction (the baseline,
// measured in the same run). CPU time is the whole process's, both threads. Counters:
//   x_raw (journal CPU / raw CPU), us_per_point (journal CPU a point);
//   at a rate: a batch of the points that come in one batch interval, committed as the journal's
//   timer commits it, giving us_per_point and core_percent (the share of one core that rate
//   needs): 3 instruments at 10 readings/s (8 a batch) and at the simulator's highest rate,
//   50/s (38 a batch).

#include <sqlite3.h>

#include <benchmark/benchmark.h>
#include <QTemporaryDir>

#include <cmath>
#include <ctime>
#include <vector>

#include "surveyjournal.h"

namespace {

constexpr int kPoints = 1000000;

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

SurveyReading reading(int i) {
    SurveyReading r;
    r.timeMs = 1700000000000 + 100LL * i;
    r.instrument = 1 + i % 3;
    static const QString serials[] = {"C0000001", "C0000002", "C0000003"};
    r.serial = serials[i % 3];
    r.fix = i % 50 != 0;
    if (r.fix) {
        r.latitude = 49.19 + 1e-6 * (i % 10000);
        r.longitude = 16.61 + 1e-6 * (i % 7000);
        r.altitude = 250 + i % 13;
    }
    r.countRate = 100 + i % 211;
    r.doseRate = 80.5 + i % 97;
    r.doseUnit = 1;
    return r;
}

const std::vector<SurveyReading> &readings() {
    static const std::vector<SurveyReading> all = [] {
        std::vector<SurveyReading> v;
        v.reserve(kPoints);
        for (int i = 0; i < kPoints; ++i)
            v.push_back(reading(i));
        return v;
    }();
    return all;
}

// An empty journal: the same tables for both.
QString emptyJournal(const QTemporaryDir &dir, const char *name) {
    const QString path = dir.filePath(name);
    SurveyJournal j;
    if (!j.create(path, "bench", 0) || !j.end(0)) return {};
    return path;
}

// The rows as plain SQLite writes them: one prepared statement, one transaction, values bound as
// the journal binds them.
double rawInsertSeconds(const QString &path) {
    const std::vector<SurveyReading> &rows = readings();
    const double start = cpuSeconds();
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; BEGIN", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(
        db,
        "INSERT OR IGNORE INTO readings (geom, time, time_ms, instrument, serial, fix, altitude, "
        "count_rate, dose_rate, dose_unit, downloaded, record_id, record_point) VALUES "
        "(?1, strftime('%Y-%m-%dT%H:%M:%fZ', ?2 / 1000.0, 'unixepoch'), ?2, ?3, ?4, ?5, ?6, ?7, "
        "?8, ?9, ?10, ?11, ?12)",
        -1, &s, nullptr);
    unsigned char blob[29] = {'G', 'P', 0, 1, 0xE6, 0x10, 0, 0, 1, 1, 0, 0, 0};
    for (const SurveyReading &r : rows) {
        if (r.fix) {
            std::memcpy(blob + 13, &r.longitude, 8);
            std::memcpy(blob + 21, &r.latitude, 8);
            sqlite3_bind_blob(s, 1, blob, sizeof blob, SQLITE_TRANSIENT);
            sqlite3_bind_double(s, 6, r.altitude);
        } else {
            sqlite3_bind_null(s, 1);
            sqlite3_bind_null(s, 6);
        }
        sqlite3_bind_int64(s, 2, r.timeMs);
        sqlite3_bind_int(s, 3, r.instrument);
        sqlite3_bind_text(s, 4, "C0000001", 8, SQLITE_STATIC);
        sqlite3_bind_int(s, 5, r.fix);
        sqlite3_bind_double(s, 7, r.countRate);
        sqlite3_bind_double(s, 8, r.doseRate);
        sqlite3_bind_text(s, 9, "nSv/h", -1, SQLITE_STATIC);
        sqlite3_bind_int(s, 10, 0);
        sqlite3_bind_null(s, 11);
        sqlite3_bind_null(s, 12);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return cpuSeconds() - start;
}

void BM_JournalAgainstRawInserts(benchmark::State &state) {
    readings();
    double raw = 0, mine = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        raw += rawInsertSeconds(emptyJournal(dir, "raw.gpkg"));
        const QString path = emptyJournal(dir, "journal.gpkg");
        const double start = cpuSeconds();
        SurveyJournal journal;
        if (!journal.reopen(path)) state.SkipWithError("the journal does not open");
        for (const SurveyReading &r : readings())
            journal.append(r);
        if (!journal.flush()) state.SkipWithError("the journal failed");
        mine += cpuSeconds() - start;
    }
    const double n = static_cast<double>(state.iterations()) * kPoints;
    state.counters["x_raw"] = mine / raw;
    state.counters["us_per_point"] = mine / n * 1e6;
    state.counters["raw_us_per_point"] = raw / n * 1e6;
}
BENCHMARK(BM_JournalAgainstRawInserts)->Iterations(3)->Unit(benchmark::kMillisecond);

// One batch interval's readings at a time, each batch committed before the next is handed over.
void BM_JournalAtRate(benchmark::State &state) {
    const int perBatch = static_cast<int>(state.range(0));
    QTemporaryDir dir;
    SurveyJournal journal;
    if (!journal.create(dir.filePath("rate.gpkg"), "bench", 0))
        state.SkipWithError("the journal does not open");
    int i = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double start = cpuSeconds();
        for (int k = 0; k < perBatch; ++k)
            journal.append(readings()[i++ % kPoints]);
        journal.flush();
        cpu += cpuSeconds() - start;
    }
    const double batches = static_cast<double>(state.iterations());
    const double batchesPerSecond = 1000.0 / SurveyJournal::kBatchInterval.count();
    state.counters["us_per_point"] = cpu / (batches * perBatch) * 1e6;
    state.counters["core_percent"] = cpu / batches * batchesPerSecond * 100;
}
BENCHMARK(BM_JournalAtRate)->Arg(8)->Arg(38)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
