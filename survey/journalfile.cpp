#include "journalfile.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

namespace journal {

namespace {

// GeoPackage 1.3 with one point layer in WGS 84 and one attribute table. No spatial index: the
// journal is written far more than it is searched, and QGIS draws a day's survey without one.
constexpr const char *kSchema = R"sql(
PRAGMA application_id = 1196444487;
PRAGMA user_version = 10300;
CREATE TABLE gpkg_spatial_ref_sys (
  srs_name TEXT NOT NULL, srs_id INTEGER NOT NULL PRIMARY KEY, organization TEXT NOT NULL,
  organization_coordsys_id INTEGER NOT NULL, definition TEXT NOT NULL, description TEXT);
INSERT INTO gpkg_spatial_ref_sys VALUES
  ('Undefined cartesian SRS', -1, 'NONE', -1, 'undefined', 'undefined cartesian coordinate reference system'),
  ('Undefined geographic SRS', 0, 'NONE', 0, 'undefined', 'undefined geographic coordinate reference system'),
  ('WGS 84 geodetic', 4326, 'EPSG', 4326,
   'GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563,AUTHORITY["EPSG","7030"]],AUTHORITY["EPSG","6326"]],PRIMEM["Greenwich",0,AUTHORITY["EPSG","8901"]],UNIT["degree",0.0174532925199433,AUTHORITY["EPSG","9122"]],AXIS["Latitude",NORTH],AXIS["Longitude",EAST],AUTHORITY["EPSG","4326"]]',
   'longitude/latitude coordinates in decimal degrees on the WGS 84 spheroid');
CREATE TABLE gpkg_contents (
  table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT NULL, identifier TEXT UNIQUE,
  description TEXT DEFAULT '',
  last_change DATETIME NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')),
  min_x DOUBLE, min_y DOUBLE, max_x DOUBLE, max_y DOUBLE, srs_id INTEGER,
  CONSTRAINT fk_gc_r_srs_id FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys(srs_id));
CREATE TABLE gpkg_geometry_columns (
  table_name TEXT NOT NULL, column_name TEXT NOT NULL, geometry_type_name TEXT NOT NULL,
  srs_id INTEGER NOT NULL, z TINYINT NOT NULL, m TINYINT NOT NULL,
  CONSTRAINT pk_geom_cols PRIMARY KEY (table_name, column_name),
  CONSTRAINT uk_gc_table_name UNIQUE (table_name),
  CONSTRAINT fk_gc_tn FOREIGN KEY (table_name) REFERENCES gpkg_contents(table_name),
  CONSTRAINT fk_gc_srs FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys (srs_id));
CREATE TABLE readings (
  fid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, geom POINT,
  time DATETIME NOT NULL, time_ms INTEGER NOT NULL, instrument MEDIUMINT NOT NULL, serial TEXT,
  fix BOOLEAN NOT NULL, altitude DOUBLE, count_rate DOUBLE, dose_rate DOUBLE, dose_unit TEXT,
  downloaded BOOLEAN NOT NULL, record_id INTEGER, record_point MEDIUMINT);
-- A record downloaded again adds nothing.
CREATE UNIQUE INDEX readings_record ON readings (serial, record_id, record_point)
  WHERE record_id IS NOT NULL;
CREATE TABLE survey (
  fid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, name TEXT NOT NULL,
  started DATETIME NOT NULL, started_ms INTEGER NOT NULL, ended DATETIME, ended_ms INTEGER,
  format MEDIUMINT NOT NULL);
INSERT INTO gpkg_contents (table_name, data_type, identifier, description, srs_id)
  VALUES ('readings', 'features', 'readings', 'Survokart survey readings', 4326),
         ('survey', 'attributes', 'survey', 'Survokart survey', NULL);
INSERT INTO gpkg_geometry_columns VALUES ('readings', 'geom', 'POINT', 4326, 0, 0);
)sql";

// The alarms and spectra beside the readings. Journals written before they existed get them when
// they are reopened; reading such a journal finds none.
constexpr const char *kEventSchema = R"sql(
CREATE TABLE IF NOT EXISTS alarms (
  fid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, time DATETIME NOT NULL, time_ms INTEGER NOT NULL,
  instrument MEDIUMINT NOT NULL, serial TEXT, reading TEXT NOT NULL, event TEXT NOT NULL,
  value DOUBLE, unit TEXT, threshold DOUBLE);
-- Channel counts as little-endian 32-bit integers.
CREATE TABLE IF NOT EXISTS spectra (
  fid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, time DATETIME NOT NULL, time_ms INTEGER NOT NULL,
  instrument MEDIUMINT NOT NULL, serial TEXT, live_time INTEGER, clock_time INTEGER,
  channels MEDIUMINT NOT NULL, counts BLOB NOT NULL);
INSERT OR IGNORE INTO gpkg_contents (table_name, data_type, identifier, description)
  VALUES ('alarms', 'attributes', 'alarms', 'Survokart alarms'),
         ('spectra', 'attributes', 'spectra', 'Survokart spectra');
)sql";

QString reason(sqlite3 *db, int code) {
    const int extended = db ? sqlite3_extended_errcode(db) : code;
    const int sysErrno = db ? sqlite3_system_errno(db) : 0;
    switch (code & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            return Text::tr("the file is damaged or is not a survey journal");
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return Text::tr("another program is using it; close it there or start a new survey");
        case SQLITE_FULL:
            return Text::tr("the disk is full");
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return Text::tr("it is read-only");
        case SQLITE_CANTOPEN:
            if (sysErrno == EACCES || sysErrno == EROFS || sysErrno == EPERM)
                return Text::tr("it is read-only");
            break;
        case SQLITE_IOERR:
            if (sysErrno == ENOSPC) return Text::tr("the disk is full");
            if (sysErrno == EROFS) return Text::tr("it is read-only");
            return Text::tr("the disk could not be read or written (%1)")
                .arg(sysErrno ? QString::fromLocal8Bit(std::strerror(sysErrno))
                              : QString::fromUtf8(sqlite3_errstr(extended)));
        default:
            break;
    }
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(code));
}

// Whether the tables are those this program writes; a GeoPackage of something else is refused
// rather than added to.
bool isJournal(sqlite3 *db) {
    sqlite3_stmt *s = nullptr;
    bool ok = sqlite3_prepare_v2(db,
                                 "SELECT count(*) FROM gpkg_contents WHERE "
                                 "(table_name = 'readings' AND data_type = 'features') OR "
                                 "(table_name = 'survey' AND data_type = 'attributes')",
                                 -1, &s, nullptr) == SQLITE_OK &&
              sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == 2;
    sqlite3_finalize(s);
    return ok;
}

}  // namespace

QString refuseToOpen(const QString &path) {
    // O_NONBLOCK: a FIFO under the name must not hold us up.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP) return Text::tr("it is a link; open the file it points to instead");
        if (err == ENOENT) return Text::tr("there is no such file");
        return QString::fromLocal8Bit(std::strerror(err));
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) return Text::tr("it is not a regular file");
    return {};
}

QString failure(const QString &path, sqlite3 *db, int code) {
    return Text::tr("Survey journal %1: %2").arg(path, reason(db, code));
}

int exec(sqlite3 *db, const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

sqlite3 *open(const QString &path, Mode mode, QString *error) {
    const QByteArray name = QFile::encodeName(path);
    if (mode == Mode::Create) {
        // O_EXCL: an existing file, or a link planted under the name, is never written through.
        const int fd =
            ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int err = errno;
            *error =
                Text::tr("Survey journal %1: %2")
                    .arg(path, err == EEXIST ? Text::tr("a file of that name exists already")
                               : err == EACCES || err == EROFS ? Text::tr("the folder is read-only")
                               : err == ENOSPC                 ? Text::tr("the disk is full")
                                               : QString::fromLocal8Bit(std::strerror(err)));
            return nullptr;
        }
        ::close(fd);
    } else if (QString why = refuseToOpen(path); !why.isEmpty()) {
        *error = Text::tr("Survey journal %1: %2").arg(path, why);
        return nullptr;
    }
    if (mode == Mode::Append) {
        // Running as root ignores permissions; a journal made read-only on purpose stays so.
        struct stat st {};
        if (::stat(name.constData(), &st) == 0 && (st.st_mode & 0222) == 0) {
            *error = Text::tr("Survey journal %1: %2").arg(path, Text::tr("it is read-only"));
            return nullptr;
        }
    }
    const int flags = (mode == Mode::Read ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(name.constData(), &db, flags, nullptr);
    auto fail = [&](int code) -> sqlite3 * {
        *error = failure(path, db, code);
        sqlite3_close(db);
        if (mode == Mode::Create) QFile::remove(path);  // the empty file we made, nothing else
        return nullptr;
    };
    if (rc != SQLITE_OK) return fail(rc);
    sqlite3_extended_result_codes(db, 0);
    // Another program's short transaction is waited for; one that holds the file is not.
    sqlite3_busy_timeout(db, 1000);
    if (mode == Mode::Read) {
        // A damaged or foreign file shows on the first read.
        rc = exec(db, "SELECT count(*) FROM sqlite_master");
        if (rc != SQLITE_OK) return fail(rc);
        if (!isJournal(db)) return fail(SQLITE_NOTADB);
        return db;
    }
    // Each commit reaches the disk before the next batch is taken: a crash or a power cut costs
    // at most the batch being written.
    rc = exec(db, "PRAGMA journal_mode = WAL");
    if (rc == SQLITE_OK) rc = exec(db, "PRAGMA synchronous = FULL");
    if (rc != SQLITE_OK) return fail(rc);
    if (mode == Mode::Create) {
        rc = exec(db, "BEGIN IMMEDIATE");
        if (rc == SQLITE_OK) rc = exec(db, kSchema);
        if (rc == SQLITE_OK) rc = exec(db, kEventSchema);
        if (rc == SQLITE_OK) rc = exec(db, "COMMIT");
        if (rc != SQLITE_OK) return fail(rc);
        return db;
    }
    // Taking the write lock once tells at once whether another program holds the journal.
    rc = exec(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return fail(rc);
    if (!isJournal(db)) {
        exec(db, "ROLLBACK");
        return fail(SQLITE_NOTADB);
    }
    rc = exec(db, kEventSchema);
    if (rc == SQLITE_OK) rc = exec(db, "COMMIT");
    if (rc != SQLITE_OK) {
        exec(db, "ROLLBACK");
        return fail(rc);
    }
    return db;
}

}  // namespace journal
