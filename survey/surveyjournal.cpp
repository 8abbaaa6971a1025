#include "surveyjournal.h"

#include <sqlite3.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "journalfile.h"

namespace {

using Clock = std::chrono::steady_clock;

// A burst (a download of thousands of points) is committed in parts of this size.
constexpr size_t kBatchMax = 8192;

constexpr const char *kInsert =
    "INSERT OR IGNORE INTO readings (geom, time, time_ms, instrument, serial, fix, altitude, "
    "count_rate, dose_rate, dose_unit, downloaded, record_id, record_point) VALUES "
    "(?1, strftime('%Y-%m-%dT%H:%M:%fZ', ?2 / 1000.0, 'unixepoch'), ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
    "?9, ?10, ?11, ?12)";

constexpr const char *kInsertAlarm =
    "INSERT INTO alarms (time, time_ms, instrument, serial, reading, event, value, unit, "
    "threshold) VALUES (strftime('%Y-%m-%dT%H:%M:%fZ', ?1 / 1000.0, 'unixepoch'), ?1, ?2, ?3, "
    "?4, ?5, ?6, ?7, ?8)";
constexpr const char *kInsertSpectrum =
    "INSERT INTO spectra (time, time_ms, instrument, serial, live_time, clock_time, channels, "
    "counts) VALUES (strftime('%Y-%m-%dT%H:%M:%fZ', ?1 / 1000.0, 'unixepoch'), ?1, ?2, ?3, ?4, "
    "?5, ?6, ?7)";

const char *const kUnitTexts[] = {"nGy/h", "nSv/h", "\xC2\xB5R/h", "nrem/h"};

const char *unitText(int unit) {
    return kUnitTexts[unit >= 1 && unit <= 3 ? unit : 0];
}

void bindText(sqlite3_stmt *s, int i, const QString &text) {
    if (text.isNull()) {
        sqlite3_bind_null(s, i);
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(s, i, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
}

void put32(unsigned char *b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putDouble(unsigned char *b, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<unsigned char>(bits >> (8 * i));
}

// A GeoPackage point: the binary header (little-endian, no envelope, WGS 84) and the WKB point,
// longitude first.
constexpr int kPointBlobSize = 8 + 21;
void pointBlob(unsigned char *b, double longitude, double latitude) {
    b[0] = 'G';
    b[1] = 'P';
    b[2] = 0;  // version 1
    b[3] = 1;  // little-endian, no envelope, not empty
    put32(b + 4, 4326);
    b[8] = 1;  // little-endian WKB
    put32(b + 9, 1);
    putDouble(b + 13, longitude);
    putDouble(b + 21, latitude);
}

void bindNumber(sqlite3_stmt *s, int i, double v) {
    if (std::isfinite(v))
        sqlite3_bind_double(s, i, v);
    else
        sqlite3_bind_null(s, i);
}

}  // namespace

struct SurveyJournal::Writer {
    Writer(SurveyJournal *owner, sqlite3 *db, QString path)
        : owner(owner), db(db), path(std::move(path)) {}
    ~Writer() {
        stop();
        sqlite3_finalize(insert);
        sqlite3_finalize(insertAlarm);
        sqlite3_finalize(insertSpectrum);
        sqlite3_close(db);
    }

    // Prepares the insert and starts the thread; false with `error` set.
    bool start(QString *error) {
        int rc = sqlite3_prepare_v3(db, kInsert, -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_prepare_v3(db, kInsertAlarm, -1, SQLITE_PREPARE_PERSISTENT, &insertAlarm,
                                    nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_prepare_v3(db, kInsertSpectrum, -1, SQLITE_PREPARE_PERSISTENT,
                                    &insertSpectrum, nullptr);
        if (rc != SQLITE_OK) {
            *error = journal::failure(path, db, rc);
            return false;
        }
        thread = std::thread([this] { run(); });
        return true;
    }

    // Writes what is pending and ends the thread; the connection is then the caller's.
    void stop() {
        if (!thread.joinable()) return;
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }

    void append(const SurveyReading *readings, size_t n) {
        if (n == 0) return;
        bool notify = false;
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            if (failedWith) {
                // Not lost: kept for the journal that takes over.
                unwritten.readings.insert(unwritten.readings.end(), readings, readings + n);
                return;
            }
            if (pending.empty()) {
                firstPending = Clock::now();
                notify = true;
            }
            pending.insert(pending.end(), readings, readings + n);
            handed += n;
            notify = notify || pending.size() >= kBatchMax;
        }
        if (notify) wake.notify_one();
    }

    // An alarm's event or a spectrum, queued as readings are; once the journal failed, kept in
    // `backlog` for the journal that takes over.
    template <typename T>
    void appendEvent(std::vector<T> &queue, std::vector<T> &backlog, const T &item) {
        bool notify = false;
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            if (failedWith) {
                backlog.push_back(item);
                return;
            }
            if (nothingPending()) {
                firstPending = Clock::now();
                notify = true;
            }
            queue.push_back(item);
            ++handed;
        }
        if (notify) wake.notify_one();
    }
    // Once failed, under the lock: what was taken for writing from `from` on, and all pending.
    void keepUnwritten(std::vector<SurveyReading>::const_iterator from,
                       std::vector<SurveyReading>::const_iterator to,
                       const std::vector<SurveyAlarm> &alarms,
                       const std::vector<SurveySpectrum> &spectra) {
        auto keep = [](auto &into, const auto &taken, const auto &queued) {
            into.insert(into.end(), taken.begin(), taken.end());
            into.insert(into.end(), queued.begin(), queued.end());
        };
        unwritten.readings.assign(from, to);
        unwritten.readings.insert(unwritten.readings.end(), pending.begin(), pending.end());
        keep(unwritten.alarms, alarms, pendingAlarms);
        keep(unwritten.spectra, spectra, pendingSpectra);
    }

    bool nothingPending() const {
        return pending.empty() && pendingAlarms.empty() && pendingSpectra.empty();
    }

    bool flush() {
        std::unique_lock lock(mutex);
        const uint64_t target = handed;
        if (written < target) {
            flushWanted = true;
            wake.notify_one();
            done.wait(lock, [&] { return written >= target; });
        }
        return !failedWith;
    }

    void run() {
        std::vector<SurveyReading> batch;
        std::vector<SurveyAlarm> alarms;
        std::vector<SurveySpectrum> spectra;
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || flushWanted || !nothingPending(); });
            if (nothingPending()) {
                if (stopping) return;
                flushWanted = false;
                continue;
            }
            auto cut = [&] { return stopping || flushWanted || pending.size() >= kBatchMax; };
            if (!cut()) wake.wait_until(lock, firstPending + kBatchInterval, cut);
            batch.clear();
            batch.swap(pending);
            alarms.clear();
            alarms.swap(pendingAlarms);
            spectra.clear();
            spectra.swap(pendingSpectra);
            const size_t taken = batch.size() + alarms.size() + spectra.size();
            flushWanted = false;
            lock.unlock();
            QString error;
            size_t at = 0;
            for (; at < batch.size(); at += kBatchMax) {
                error = write(batch.data() + at, std::min(kBatchMax, batch.size() - at));
                if (!error.isEmpty()) break;
            }
            if (!error.isEmpty()) {
                {
                    std::lock_guard failing(mutex);
                    failedWith = true;
                    message = error;
                    // The transaction that failed was rolled back: its readings and all after
                    // it wait for the journal that takes over.
                    keepUnwritten(batch.begin() + std::ptrdiff_t(at), batch.end(), alarms, spectra);
                }
                // Told before flush() returns, so that a caller who sees it fail has the signal.
                emit owner->failed(error);
            }
            // Alarms and spectra after the readings, in a transaction of their own; their failure
            // fails the journal as the readings' would.
            if (error.isEmpty() && (!alarms.empty() || !spectra.empty())) {
                if (const QString eventError = writeEvents(alarms, spectra);
                    !eventError.isEmpty()) {
                    {
                        std::lock_guard failing(mutex);
                        failedWith = true;
                        message = eventError;
                        keepUnwritten(batch.end(), batch.end(), alarms, spectra);
                    }
                    emit owner->failed(eventError);
                }
            }
            lock.lock();
            written += taken;
            if (failedWith) {
                written += pending.size() + pendingAlarms.size() + pendingSpectra.size();
                pending.clear();
                pendingAlarms.clear();
                pendingSpectra.clear();
            }
            done.notify_all();
        }
    }

    // One transaction of `n` readings; the failure, or nothing.
    QString write(const SurveyReading *readings, size_t n) {
        int rc = journal::exec(db, "BEGIN IMMEDIATE");
        for (size_t i = 0; i < n && rc == SQLITE_OK; ++i) {
            const SurveyReading &r = readings[i];
            unsigned char blob[kPointBlobSize];
            if (r.usable()) {
                pointBlob(blob, r.longitude, r.latitude);
                sqlite3_bind_blob(insert, 1, blob, kPointBlobSize, SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_null(insert, 1);
            }
            sqlite3_bind_int64(insert, 2, r.timeMs);
            sqlite3_bind_int(insert, 3, r.instrument);
            if (r.serial != lastSerial) {
                lastSerial = r.serial;
                lastSerialUtf8 = r.serial.toUtf8();
            }
            if (r.serial.isNull())
                sqlite3_bind_null(insert, 4);
            else
                sqlite3_bind_text(insert, 4, lastSerialUtf8.constData(),
                                  static_cast<int>(lastSerialUtf8.size()), SQLITE_STATIC);
            sqlite3_bind_int(insert, 5, r.fix ? 1 : 0);
            bindNumber(insert, 6, r.usable() ? r.altitude : SurveyReading::kNone);
            bindNumber(insert, 7, r.countRate);
            bindNumber(insert, 8, r.doseRate);
            sqlite3_bind_text(insert, 9, unitText(r.doseUnit), -1, SQLITE_STATIC);
            sqlite3_bind_int(insert, 10, r.downloaded() ? 1 : 0);
            if (r.downloaded()) {
                sqlite3_bind_int64(insert, 11, r.recordId);
                sqlite3_bind_int(insert, 12, r.recordPoint);
            } else {
                sqlite3_bind_null(insert, 11);
                sqlite3_bind_null(insert, 12);
            }
            rc = sqlite3_step(insert);
            rc = rc == SQLITE_DONE ? sqlite3_reset(insert) : rc;
        }
        if (rc == SQLITE_OK) rc = journal::exec(db, "COMMIT");
        if (rc == SQLITE_OK) return {};
        sqlite3_reset(insert);
        QString error = journal::failure(path, db, rc);
        if (!sqlite3_get_autocommit(db)) journal::exec(db, "ROLLBACK");
        return error;
    }

    // One transaction of alarms and spectra; the failure, or nothing.
    QString writeEvents(const std::vector<SurveyAlarm> &alarms,
                        const std::vector<SurveySpectrum> &spectra) {
        int rc = journal::exec(db, "BEGIN IMMEDIATE");
        for (size_t i = 0; i < alarms.size() && rc == SQLITE_OK; ++i) {
            const SurveyAlarm &a = alarms[i];
            sqlite3_stmt *s = insertAlarm;
            sqlite3_bind_int64(s, 1, a.timeMs);
            sqlite3_bind_int(s, 2, a.instrument);
            bindText(s, 3, a.serial);
            sqlite3_bind_text(s, 4, alarmReadingName(a.reading), -1, SQLITE_STATIC);
            sqlite3_bind_text(s, 5, alarmEventName(a.event), -1, SQLITE_STATIC);
            bindNumber(s, 6, a.value);
            sqlite3_bind_text(s, 7,
                              a.reading == SurveyAlarm::CountRate ? "cps" : unitText(a.doseUnit),
                              -1, SQLITE_STATIC);
            bindNumber(s, 8, a.threshold);
            rc = sqlite3_step(s);
            rc = rc == SQLITE_DONE ? sqlite3_reset(s) : rc;
        }
        for (size_t i = 0; i < spectra.size() && rc == SQLITE_OK; ++i) {
            const SurveySpectrum &p = spectra[i];
            sqlite3_stmt *s = insertSpectrum;
            sqlite3_bind_int64(s, 1, p.timeMs);
            sqlite3_bind_int(s, 2, p.instrument);
            bindText(s, 3, p.serial);
            sqlite3_bind_int64(s, 4, static_cast<sqlite3_int64>(p.liveTime));
            sqlite3_bind_int64(s, 5, static_cast<sqlite3_int64>(p.clockTime));
            sqlite3_bind_int(s, 6, static_cast<int>(p.counts.size()));
            std::vector<unsigned char> blob(p.counts.size() * 4);
            for (size_t c = 0; c < p.counts.size(); ++c)
                put32(blob.data() + 4 * c, static_cast<uint32_t>(p.counts[c]));
            sqlite3_bind_blob(s, 7, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
            rc = sqlite3_step(s);
            rc = rc == SQLITE_DONE ? sqlite3_reset(s) : rc;
        }
        if (rc == SQLITE_OK) rc = journal::exec(db, "COMMIT");
        if (rc == SQLITE_OK) return {};
        sqlite3_reset(insertAlarm);
        sqlite3_reset(insertSpectrum);
        QString error = journal::failure(path, db, rc);
        if (!sqlite3_get_autocommit(db)) journal::exec(db, "ROLLBACK");
        return error;
    }

    SurveyJournal *const owner;
    sqlite3 *const db;
    const QString path;
    sqlite3_stmt *insert = nullptr;
    sqlite3_stmt *insertAlarm = nullptr;
    sqlite3_stmt *insertSpectrum = nullptr;
    std::thread thread;
    // Only the writing thread touches these while it runs.
    QString lastSerial;
    QByteArray lastSerialUtf8;

    std::mutex mutex;
    std::condition_variable wake;  // the writing thread waits here
    std::condition_variable done;  // flush() waits here
    // Guarded by mutex.
    std::vector<SurveyReading> pending;
    std::vector<SurveyAlarm> pendingAlarms;
    std::vector<SurveySpectrum> pendingSpectra;
    Clock::time_point firstPending;
    uint64_t handed = 0;
    uint64_t written = 0;  // handed over and either in the file or lost to a failure
    bool flushWanted = false;
    bool stopping = false;
    bool failedWith = false;
    QString message;
    SurveyBacklog unwritten;  // once failed: what is not in the file, in order
};

SurveyJournal::SurveyJournal(QObject *parent) : QObject(parent) {}

SurveyJournal::~SurveyJournal() = default;

bool SurveyJournal::create(const QString &path, const QString &name, qint64 startMs) {
    m_writer.reset();
    m_path = path;
    sqlite3 *db = journal::open(path, journal::Mode::Create, &m_error);
    if (!db) return false;
    sqlite3_stmt *s = nullptr;
    const QByteArray utf8 = name.toUtf8();
    int rc = sqlite3_prepare_v2(db,
                                "INSERT INTO survey (name, started, started_ms, format) VALUES "
                                "(?1, strftime('%Y-%m-%dT%H:%M:%fZ', ?2 / 1000.0, 'unixepoch'), "
                                "?2, 1)",
                                -1, &s, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_text(s, 1, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, startMs);
        rc = sqlite3_step(s);
        rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    sqlite3_finalize(s);
    return startWriting(db, rc);
}

bool SurveyJournal::reopen(const QString &path) {
    m_writer.reset();
    m_path = path;
    sqlite3 *db = journal::open(path, journal::Mode::Append, &m_error);
    if (!db) return false;
    return startWriting(db, journal::exec(db, "UPDATE survey SET ended = NULL, ended_ms = NULL"));
}

bool SurveyJournal::startWriting(sqlite3 *db, int rc) {
    if (rc != SQLITE_OK) {
        m_error = journal::failure(m_path, db, rc);
        sqlite3_close(db);
        return false;
    }
    auto writer = std::make_unique<Writer>(this, db, m_path);
    if (!writer->start(&m_error)) return false;
    m_writer = std::move(writer);
    return true;
}

void SurveyJournal::append(const SurveyAlarm &alarm) {
    if (m_writer) m_writer->appendEvent(m_writer->pendingAlarms, m_writer->unwritten.alarms, alarm);
}

void SurveyJournal::append(const SurveySpectrum &spectrum) {
    if (m_writer)
        m_writer->appendEvent(m_writer->pendingSpectra, m_writer->unwritten.spectra, spectrum);
}

void SurveyJournal::append(const SurveyReading &reading) {
    if (m_writer) m_writer->append(&reading, 1);
}

void SurveyJournal::append(const std::vector<SurveyReading> &readings) {
    if (m_writer) m_writer->append(readings.data(), readings.size());
}

SurveyBacklog SurveyJournal::takeUnwritten() {
    if (!m_writer) return {};
    const std::lock_guard lock(m_writer->mutex);
    return std::exchange(m_writer->unwritten, {});
}

bool SurveyJournal::flush() {
    return m_writer && m_writer->flush();
}

bool SurveyJournal::end(qint64 endMs) {
    if (!m_writer) return false;
    m_writer->stop();
    bool ok = !m_writer->failedWith;
    if (!ok) m_error = m_writer->message;
    sqlite3 *db = m_writer->db;
    if (ok) {
        sqlite3_stmt *s = nullptr;
        int rc = sqlite3_prepare_v2(
            db,
            "UPDATE survey SET ended = strftime('%Y-%m-%dT%H:%M:%fZ', ?1 / 1000.0, 'unixepoch'), "
            "ended_ms = ?1",
            -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(s, 1, endMs);
            rc = sqlite3_step(s);
            rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
        }
        sqlite3_finalize(s);
        if (rc != SQLITE_OK) {
            m_error = journal::failure(m_path, db, rc);
            ok = false;
        } else {
            // One file to copy or open elsewhere; where another program reads it just now, the
            // -wal stays and SQLite folds it in later.
            journal::exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
            journal::exec(db, "PRAGMA journal_mode = DELETE");
        }
    }
    m_writer.reset();
    return ok;
}

bool SurveyJournal::isOpen() const {
    return m_writer != nullptr;
}

QString SurveyJournal::path() const {
    return m_path;
}

QString SurveyJournal::errorString() const {
    if (m_writer) {
        std::lock_guard lock(m_writer->mutex);
        if (m_writer->failedWith) return m_writer->message;
    }
    return m_error;
}
