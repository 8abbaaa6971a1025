#include "surveyjournalreader.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "journalfile.h"

namespace {

struct Close {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, Close>;
using Statement = std::unique_ptr<sqlite3_stmt, Close>;

double number(sqlite3_stmt *s, int column) {
    return sqlite3_column_type(s, column) == SQLITE_NULL ? SurveyReading::kNone
                                                         : sqlite3_column_double(s, column);
}

QString text(sqlite3_stmt *s, int column) {
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(s, column));
    return p ? QString::fromUtf8(p, sqlite3_column_bytes(s, column)) : QString();
}

// Longitude and latitude of a GeoPackage point; false for anything else (an empty point, a blob
// some other program wrote in a form we do not read).
bool pointOf(const unsigned char *b, int size, double *longitude, double *latitude) {
    if (!b || size < 8 || b[0] != 'G' || b[1] != 'P') return false;
    const int flags = b[3];
    if (flags & 0x10) return false;  // empty
    static constexpr int kEnvelope[] = {0, 32, 48, 48, 64};
    const int envelope = (flags >> 1) & 7;
    if (envelope > 4) return false;
    const int at = 8 + kEnvelope[envelope];
    if (size < at + 21) return false;
    const bool little = b[at] == 1;
    auto u32 = [&](int o) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(b[o + i]) << (little ? 8 * i : 8 * (3 - i));
        return v;
    };
    auto f64 = [&](int o) {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<uint64_t>(b[o + i]) << (little ? 8 * i : 8 * (7 - i));
        double d;
        std::memcpy(&d, &v, 8);
        return d;
    };
    const uint32_t type = u32(at + 1);
    if (type != 1 && type != 1001 && type != 0x80000001) return false;  // 2D or 3D point
    *longitude = f64(at + 5);
    *latitude = f64(at + 13);
    return true;
}

}  // namespace

bool SurveyJournalReader::open(const QString &path) {
    m_path = path;
    m_info = {};
    Db db(journal::open(path, journal::Mode::Read, &m_error));
    if (!db) return false;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(
        db.get(), "SELECT name, started_ms, ended_ms FROM survey ORDER BY fid LIMIT 1", -1, &raw,
        nullptr);
    Statement s(raw);
    if (rc == SQLITE_OK) rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW) {
        m_error = journal::failure(path, db.get(), rc == SQLITE_DONE ? SQLITE_CORRUPT : rc);
        return false;
    }
    m_info.name = text(s.get(), 0);
    m_info.startMs = sqlite3_column_int64(s.get(), 1);
    m_info.endMs =
        sqlite3_column_type(s.get(), 2) == SQLITE_NULL ? -1 : sqlite3_column_int64(s.get(), 2);
    m_error.clear();
    return true;
}

bool SurveyJournalReader::forEach(const std::function<bool(const SurveyReading &)> &visit) {
    Db db(journal::open(m_path, journal::Mode::Read, &m_error));
    if (!db) return false;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db.get(),
                                "SELECT geom, time_ms, instrument, serial, fix, altitude, "
                                "count_rate, dose_rate, dose_unit, record_id, record_point "
                                "FROM readings ORDER BY fid",
                                -1, &raw, nullptr);
    Statement s(raw);
    SurveyReading r;
    QByteArray serialBytes, unitBytes;
    int unit = 0;
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        if ((rc = sqlite3_step(s.get())) != SQLITE_ROW) break;
        sqlite3_stmt *q = s.get();
        if (!pointOf(static_cast<const unsigned char *>(sqlite3_column_blob(q, 0)),
                     sqlite3_column_bytes(q, 0), &r.longitude, &r.latitude))
            r.longitude = r.latitude = SurveyReading::kNone;
        r.timeMs = sqlite3_column_int64(q, 1);
        r.instrument = sqlite3_column_int(q, 2);
        // A survey has a few instruments: their serials are shared, not copied per reading.
        const auto *serial = reinterpret_cast<const char *>(sqlite3_column_text(q, 3));
        const int bytes = sqlite3_column_bytes(q, 3);
        if (!serial)
            r.serial = QString();
        else if (r.serial.isNull() || serialBytes != QByteArrayView(serial, bytes)) {
            serialBytes = QByteArray(serial, bytes);
            r.serial = QString::fromUtf8(serialBytes);
        }
        r.fix = sqlite3_column_int(q, 4) != 0;
        r.altitude = number(q, 5);
        r.countRate = number(q, 6);
        r.doseRate = number(q, 7);
        const auto *unitText = reinterpret_cast<const char *>(sqlite3_column_text(q, 8));
        const QByteArrayView unitView(unitText, unitText ? sqlite3_column_bytes(q, 8) : 0);
        if (unitView != unitBytes) {
            unitBytes = unitView.toByteArray();
            unit = std::max(0, doseUnitOfText(QString::fromUtf8(unitBytes)));
        }
        r.doseUnit = unit;
        const bool downloaded = sqlite3_column_type(q, 9) != SQLITE_NULL;
        r.recordId = downloaded ? sqlite3_column_int64(q, 9) : -1;
        r.recordPoint = downloaded ? sqlite3_column_int(q, 10) : -1;
        if (!visit(r)) return true;
    }
    if (rc == SQLITE_DONE) return true;
    m_error = journal::failure(m_path, db.get(), rc);
    return false;
}

std::vector<SurveyReading> SurveyJournalReader::readings() {
    std::vector<SurveyReading> all;
    if (!forEach([&](const SurveyReading &r) {
            all.push_back(r);
            return true;
        }))
        all.clear();
    return all;
}

std::vector<SurveyAlarm> SurveyJournalReader::alarms() {
    std::vector<SurveyAlarm> all;
    Db db(journal::open(m_path, journal::Mode::Read, &m_error));
    if (!db) return all;
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(db.get(),
                                "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                                "name = 'alarms'",
                                -1, &raw, nullptr);
    Statement exists(raw);
    if (rc == SQLITE_OK) rc = sqlite3_step(exists.get());
    if (rc == SQLITE_ROW && sqlite3_column_int(exists.get(), 0) == 0) return all;
    if (rc == SQLITE_ROW)
        rc = sqlite3_prepare_v2(db.get(),
                                "SELECT time_ms, instrument, serial, reading, event, value, unit, "
                                "threshold FROM alarms ORDER BY fid",
                                -1, &raw, nullptr);
    Statement s(rc == SQLITE_OK ? raw : nullptr);
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        if ((rc = sqlite3_step(s.get())) != SQLITE_ROW) break;
        sqlite3_stmt *q = s.get();
        const int reading = alarmReadingOf(text(q, 3));
        const int event = alarmEventOf(text(q, 4));
        if (reading < 0 || event < 0) continue;  // written by something newer than us
        SurveyAlarm a;
        a.timeMs = sqlite3_column_int64(q, 0);
        a.instrument = sqlite3_column_int(q, 1);
        a.serial = text(q, 2);
        a.reading = SurveyAlarm::Reading(reading);
        a.event = SurveyAlarm::Event(event);
        a.value = number(q, 5);
        a.doseUnit = std::max(0, doseUnitOfText(text(q, 6)));
        a.threshold = number(q, 7);
        all.push_back(a);
    }
    if (rc == SQLITE_DONE) return all;
    m_error = journal::failure(m_path, db.get(), rc);
    return {};
}
