#include "surveyexport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include "doseintegrator.h"

#include "colour.h"
#include "surveyjournalreader.h"

namespace {

struct Text {
    Q_DECLARE_TR_FUNCTIONS(SurveyExport)
};

const char *driverOf(SurveyFormat f) {
    switch (f) {
        case SurveyFormat::Csv:
            return "CSV";
        case SurveyFormat::GeoJson:
            return "GeoJSON";
        case SurveyFormat::Kml:
            return "LIBKML";
        case SurveyFormat::Gpx:
            return "GPX";
    }
    return "CSV";
}

const char *extensionOf(SurveyFormat f) {
    switch (f) {
        case SurveyFormat::Csv:
            return "csv";
        case SurveyFormat::GeoJson:
            return "geojson";
        case SurveyFormat::Kml:
            return "kml";
        case SurveyFormat::Gpx:
            return "gpx";
    }
    return "csv";
}

// GDAL's messages are collected for the error text, not printed.
class QuietErrors {
public:
    QuietErrors() {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        CPLErrorReset();
    }
    ~QuietErrors() { CPLPopErrorHandler(); }
    static QString last() { return QString::fromUtf8(CPLGetLastErrorMsg()); }
};

struct CloseDataset {
    void operator()(GDALDataset *d) const { GDALClose(d); }
};

QString isoTime(qint64 ms, bool withMs) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)
        .toString(withMs ? Qt::ISODateWithMs : Qt::ISODate);
}

// The KML style of a point: a dot of the reading's colour.
std::string kmlStyle(const SurveyReading &r, const SurveyExportOptions &o) {
    const double value = o.colourByCountRate ? r.countRate : r.doseRate;
    const QColor c = trackColour(value, o.thresholds, o.colours);
    char style[96];
    std::snprintf(style, sizeof style, "SYMBOL(id:\"ogr-sym-3\",c:#%02X%02X%02X%02X)", c.red(),
                  c.green(), c.blue(), c.alpha());
    return style;
}

// The cumulative dose of each instrument's live readings at each reading; NaN for downloaded ones.
std::vector<double> cumulativeDoses(const std::vector<SurveyReading> &readings) {
    std::map<int, DoseIntegrator> byInstrument;
    std::vector<double> doses;
    doses.reserve(readings.size());
    for (const SurveyReading &r : readings) {
        if (r.downloaded()) {
            doses.push_back(SurveyReading::kNone);
            continue;
        }
        DoseIntegrator &d = byInstrument[r.instrument];
        d.add(r.timeMs, r.doseRate);
        doses.push_back(d.dose());
    }
    return doses;
}

// Which alarms of its instrument were on at each reading, by the names the journal uses.
std::vector<QByteArray> alarmsOn(const std::vector<SurveyReading> &readings,
                                 const std::vector<SurveyAlarm> &alarms) {
    struct Span {
        int instrument;
        SurveyAlarm::Reading reading;
        qint64 startMs, endMs;
    };
    std::vector<Span> spans;
    for (const SurveyAlarm &a : alarms) {
        if (a.event == SurveyAlarm::Start) {
            spans.push_back(
                {a.instrument, a.reading, a.timeMs, std::numeric_limits<qint64>::max()});
        } else if (a.event == SurveyAlarm::End) {
            for (auto s = spans.rbegin(); s != spans.rend(); ++s)
                if (s->instrument == a.instrument && s->reading == a.reading) {
                    s->endMs = a.timeMs;
                    break;
                }
        }
    }
    std::vector<QByteArray> on;
    on.reserve(readings.size());
    for (const SurveyReading &r : readings) {
        bool is[2] = {false, false};
        for (const Span &s : spans)
            if (s.instrument == r.instrument && s.startMs <= r.timeMs && r.timeMs <= s.endMs)
                is[s.reading] = true;
        QByteArrayList names;
        for (SurveyAlarm::Reading k : {SurveyAlarm::DoseRate, SurveyAlarm::CountRate})
            if (is[k]) names << alarmReadingName(k);
        on.push_back(names.join('+'));
    }
    return on;
}

class Writer {
public:
    Writer(const std::vector<SurveyReading> &readings, const SurveyExportOptions &o)
        : m_readings(readings), m_o(o) {
        // Times with milliseconds only where a reading has them: a download's are whole seconds.
        m_withMs = std::any_of(readings.begin(), readings.end(),
                               [](const SurveyReading &r) { return r.timeMs % 1000 != 0; });
        if (o.watchColumns) {
            m_doses = cumulativeDoses(readings);
            m_alarms = alarmsOn(readings, o.alarms);
        }
    }

    // Writes to `target`, a name GDAL opens (a file or /vsimem/); the error, or nothing.
    QString write(const QString &target) {
        static std::once_flag registered;
        std::call_once(registered, [] { GDALAllRegister(); });
        QuietErrors quiet;
        GDALDriver *driver = GetGDALDriverManager()->GetDriverByName(driverOf(m_o.format));
        if (!driver) return Text::tr("GDAL has no %1 driver").arg(driverOf(m_o.format));
        CPLStringList options;
        if (m_o.format == SurveyFormat::Gpx) {
            options.SetNameValue("GPX_USE_EXTENSIONS", "YES");
            options.SetNameValue("GPX_EXTENSIONS_NS", "survokart");
            options.SetNameValue("GPX_EXTENSIONS_NS_URL", "https://survokart.invalid/gpx/1");
        }
        std::unique_ptr<GDALDataset, CloseDataset> ds(
            driver->Create(target.toUtf8().constData(), 0, 0, 0, GDT_Unknown, options.List()));
        if (!ds) return quiet.last();
        QString error = fill(ds.get());
        // Closing writes the tail (the end of the JSON, KML or GPX document).
        GDALClose(ds.release());
        if (error.isEmpty() && CPLGetLastErrorType() >= CE_Failure) error = quiet.last();
        return error;
    }

private:
    QString fill(GDALDataset *ds) {
        OGRSpatialReference wgs84;
        wgs84.SetWellKnownGeogCS("WGS84");
        wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        CPLStringList layerOptions;
        const bool csv = m_o.format == SurveyFormat::Csv;
        const bool gpx = m_o.format == SurveyFormat::Gpx;
        OGRwkbGeometryType type = wkbPoint25D;
        if (csv) {
            type = wkbNone;
            layerOptions.SetNameValue("LINEFORMAT", "LF");
            layerOptions.SetNameValue("STRING_QUOTING", "IF_NEEDED");
        } else if (m_o.format == SurveyFormat::GeoJson) {
            layerOptions.SetNameValue("RFC7946", "YES");
            layerOptions.SetNameValue("WRITE_NAME", "NO");
        } else if (gpx) {
            type = wkbPoint;
        }
        const QString name = m_o.name.isEmpty() ? QStringLiteral("survey") : m_o.name;
        OGRLayer *layer = ds->CreateLayer(gpx ? "track_points" : name.toUtf8().constData(),
                                          csv ? nullptr : &wgs84, type, layerOptions.List());
        if (!layer) return QuietErrors::last();

        std::vector<std::pair<const char *, OGRFieldType>> fields;
        if (gpx) {
            fields = {{"track_fid", OFTInteger},
                      {"track_name", OFTString},
                      {"ele", OFTReal},
                      {"time", OFTDateTime}};
        } else {
            fields = {{"time", OFTString}};
            if (csv)
                fields.insert(
                    fields.end(),
                    {{"latitude", OFTReal}, {"longitude", OFTReal}, {"altitude", OFTReal}});
        }
        fields.insert(fields.end(),
                      {{"count_rate", OFTReal}, {"dose_rate", OFTReal}, {"unit", OFTString}});
        if (m_o.instrumentColumns)
            fields.insert(fields.end(), {{"instrument", OFTInteger},
                                         {"serial", OFTString},
                                         {"fix", OFTInteger},
                                         {"downloaded", OFTInteger}});
        if (m_o.watchColumns)
            fields.insert(fields.end(), {{"dose", OFTReal}, {"alarm", OFTString}});
        for (const auto &[field, fieldType] : fields) {
            // The GPX driver has its own fields of these names already; its fix is the kind of
            // fix (2d, 3d), and every point in a GPX file has one.
            if (gpx && layer->GetLayerDefn()->GetFieldIndex(field) >= 0) continue;
            OGRFieldDefn defn(field, fieldType);
            if ((!strcmp(field, "fix") || !strcmp(field, "downloaded")) && !gpx)
                defn.SetSubType(OFSTBoolean);
            if (layer->CreateField(&defn) != OGRERR_NONE) return QuietErrors::last();
        }

        std::vector<const SurveyReading *> order;
        order.reserve(m_readings.size());
        for (const SurveyReading &r : m_readings)
            if (r.usable() || (!m_o.positionedOnly && (csv || m_o.format == SurveyFormat::GeoJson)))
                order.push_back(&r);
        // One track per instrument, each in the order of its readings.
        if (gpx)
            std::stable_sort(order.begin(), order.end(),
                             [](auto *a, auto *b) { return a->instrument < b->instrument; });
        int track = -1, lastInstrument = 0;
        for (const SurveyReading *r : order) {
            OGRFeature feature(layer->GetLayerDefn());
            const QByteArray time = isoTime(r->timeMs, m_withMs).toUtf8();
            if (gpx) {
                if (track < 0 || r->instrument != lastInstrument) ++track;
                lastInstrument = r->instrument;
                feature.SetField("track_fid", track);
                QString trackName = Text::tr("%1, instrument %2").arg(name).arg(r->instrument);
                if (!r->serial.isEmpty()) trackName += QStringLiteral(" (%1)").arg(r->serial);
                feature.SetField("track_name", trackName.toUtf8().constData());
                feature.SetField("track_seg_id", 0);
                const QDateTime t = QDateTime::fromMSecsSinceEpoch(r->timeMs, Qt::UTC);
                feature.SetField("time", t.date().year(), t.date().month(), t.date().day(),
                                 t.time().hour(), t.time().minute(),
                                 static_cast<float>(t.time().second() + t.time().msec() / 1000.0),
                                 100);
                setNumber(feature, "ele", r->altitude);
            } else {
                feature.SetField("time", time.constData());
            }
            if (csv && r->usable()) {
                setNumber(feature, "latitude", r->latitude);
                setNumber(feature, "longitude", r->longitude);
                setNumber(feature, "altitude", r->altitude);
            }
            setNumber(feature, "count_rate", r->countRate);
            setNumber(feature, "dose_rate", r->doseRate);
            feature.SetField("unit", rawDoseRateUnit(r->doseUnit).toUtf8().constData());
            if (m_o.instrumentColumns) {
                feature.SetField("instrument", r->instrument);
                feature.SetField("serial", r->serial.toUtf8().constData());
                if (!gpx) feature.SetField("fix", r->fix ? 1 : 0);
                feature.SetField("downloaded", r->downloaded() ? 1 : 0);
            }
            if (!csv && r->usable()) {
                OGRPoint point(r->longitude, r->latitude);
                if (!gpx && std::isfinite(r->altitude)) point.setZ(r->altitude);
                feature.SetGeometry(&point);
            }
            if (m_o.watchColumns) {
                const size_t i = static_cast<size_t>(r - m_readings.data());
                setNumber(feature, "dose", m_doses[i]);
                feature.SetField("alarm", m_alarms[i].constData());
            }
            if (m_o.format == SurveyFormat::Kml) feature.SetStyleString(kmlStyle(*r, m_o).c_str());
            if (layer->CreateFeature(&feature) != OGRERR_NONE) return QuietErrors::last();
        }
        return {};
    }

    static void setNumber(OGRFeature &f, const char *field, double v) {
        if (std::isfinite(v))
            f.SetField(field, v);
        else
            f.SetFieldNull(f.GetFieldIndex(field));
    }

    const std::vector<SurveyReading> &m_readings;
    const SurveyExportOptions &m_o;
    bool m_withMs = false;
    std::vector<double> m_doses;       // by reading, with watchColumns
    std::vector<QByteArray> m_alarms;  // likewise
};

}  // namespace

std::optional<SurveyFormat> surveyFormatOf(const QString &name) {
    for (SurveyFormat f :
         {SurveyFormat::Csv, SurveyFormat::GeoJson, SurveyFormat::Kml, SurveyFormat::Gpx})
        if (name == QLatin1String(extensionOf(f))) return f;
    return std::nullopt;
}

bool exportSurvey(const std::vector<SurveyReading> &readings, const SurveyExportOptions &options,
                  QByteArray *bytes, QString *error) {
    static std::atomic<int> serial{0};
    const QString target = QStringLiteral("/vsimem/survokart-export-%1.%2")
                               .arg(serial.fetch_add(1))
                               .arg(extensionOf(options.format));
    const QByteArray name = target.toUtf8();
    *error = Writer(readings, options).write(target);
    vsi_l_offset length = 0;
    GByte *data = error->isEmpty() ? VSIGetMemFileBuffer(name.constData(), &length, TRUE) : nullptr;
    VSIUnlink(name.constData());
    if (!error->isEmpty()) {
        *error = Text::tr("cannot write the %1 export: %2")
                     .arg(QString::fromLatin1(extensionOf(options.format)).toUpper(), *error);
        return false;
    }
    *bytes = QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(length));
    CPLFree(data);
    return true;
}

bool exportSurvey(const std::vector<SurveyReading> &readings, const SurveyExportOptions &options,
                  const QString &path, QString *error) {
    // GDAL creates the file by name: in a folder of our own (mode 0700) nobody can have put a
    // link under that name. The rename replaces `path` itself, never what a link there points to.
    const QFileInfo info(path);
    QTemporaryDir dir(
        info.absoluteDir().filePath(QStringLiteral(".%1-XXXXXX").arg(info.fileName())));
    if (!dir.isValid()) {
        *error = Text::tr("cannot write %1: %2").arg(path, dir.errorString());
        return false;
    }
    const QString temporary =
        dir.filePath(QStringLiteral("export.%1").arg(extensionOf(options.format)));
    QString why = Writer(readings, options).write(temporary);
    // On the disk before the name says the file is complete.
    if (const int fd = ::open(QFile::encodeName(temporary).constData(), O_RDONLY | O_CLOEXEC);
        fd >= 0) {
        if (why.isEmpty() && ::fsync(fd) != 0) why = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
    }
    if (why.isEmpty() && std::rename(QFile::encodeName(temporary).constData(),
                                     QFile::encodeName(path).constData()) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
    if (!why.isEmpty()) {
        *error = Text::tr("cannot write %1: %2").arg(path, why);
        return false;
    }
    return true;
}

bool readJournal(const QString &journal, SurveyExportOptions &options,
                 std::vector<SurveyReading> *readings, QString *error) {
    SurveyJournalReader reader;
    if (reader.open(journal)) *readings = reader.readings();
    if (reader.errorString().isEmpty()) {
        options.name = reader.info().name;
        options.watchColumns = true;
        options.alarms = reader.alarms();
    }
    if (reader.errorString().isEmpty()) return true;
    *error = reader.errorString();
    return false;
}

JournalExportError exportJournal(const QString &journal, SurveyExportOptions options,
                                 const QString &path, QString *error) {
    // The export replaces its output (a link there, not what it points to): never the journal.
    struct stat in = {};
    struct stat out = {};
    if (::stat(QFile::encodeName(journal).constData(), &in) == 0 &&
        ::lstat(QFile::encodeName(path).constData(), &out) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino) {
        *error = Text::tr("%1 is the survey journal itself; choose another file").arg(path);
        return JournalExportError::IsTheJournal;
    }
    std::vector<SurveyReading> readings;
    if (!readJournal(journal, options, &readings, error)) return JournalExportError::Journal;
    return exportSurvey(readings, options, path, error) ? JournalExportError::None
                                                        : JournalExportError::Output;
}
