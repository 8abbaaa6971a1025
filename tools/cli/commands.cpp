#include "commands.h"

#include <unistd.h>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <functional>
#include <map>

#include "device/surveyrecord.h"
#include "export.h"
#include "map/format.h"
#include "mxx/m17.h"
#include "session.h"

namespace {

const char *const kUsage =
    "usage: survokart-cli COMMAND CONN [options]\n"
    "  CONN is host[:port] (port 4444 by default) or a connection string\n"
    "  identify CONN                        type, serial number and firmware version\n"
    "  monitor CONN [--count N]             live readings, one line each\n"
    "  download CONN [--days N | --hours N | --all] --format csv|geojson [-o FILE]\n"
    "  display CONN -o FILE.png             a picture of the instrument's display\n"
    "  key CONN ok|up|down|left|right       presses a key of the instrument\n"
    "  record CONN on|off                   starts or stops survey recording\n";

// Transfer-buffer kinds.
constexpr int kRecordList = 1, kStoredRecord = 3, kDisplayPicture = 8;
constexpr int kPictureCapacity = 4 << 20;

struct Args {
    QString command, target;
    QStringList rest;

    // The value after `name`, or an empty string.
    QString option(const QString &name) const {
        int i = rest.indexOf(name);
        return i >= 0 && i + 1 < rest.size() ? rest[i + 1] : QString();
    }
    bool flag(const QString &name) const { return rest.contains(name); }
};

int usage(QTextStream &err, const QString &problem) {
    if (!problem.isEmpty()) err << "survokart-cli: " << problem << "\n";
    err << kUsage;
    return EXIT_USAGE;
}

int failed(QTextStream &err, const QString &what) {
    err << "survokart-cli: " << what << "\n";
    return EXIT_FAILED;
}

bool writeOutput(const QString &path, const QByteArray &bytes, QTextStream &out, QTextStream &err) {
    if (path.isEmpty()) {
        out << QString::fromUtf8(bytes);
        out.flush();
        return true;
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        err << "survokart-cli: cannot write " << path << ": " << f.errorString() << "\n";
        return false;
    }
    return true;
}

int identify(Session &s, const Args &, QTextStream &out, QTextStream &err) {
    char serial[M17_SERIAL_SIZE + 1] = {};
    if (M17_get_serial(s.device().connId(), serial, 1) != 0 || !serial[0])
        return failed(err, "the instrument did not report its serial number");
    M30_versions versions{};
    QString firmware = "unknown";
    if (s.m30().getVersions(versions)) {
        // The leading text of the versions record is the firmware's.
        const char *text = reinterpret_cast<const char *>(versions.bytes);
        firmware = QString::fromUtf8(text, static_cast<int>(strnlen(text, 8)));
    }
    out << "type: M30 (" << s.type() << ")\nserial: " << serial << "\nfirmware: " << firmware
        << "\n";
    return EXIT_OK;
}

int monitor(Session &s, const Args &a, QTextStream &out, QTextStream &err) {
    bool ok = true;
    int count = a.flag("--count") ? a.option("--count").toInt(&ok) : -1;
    if (!ok || count == 0) return usage(err, "--count needs a positive number");
    // An instrument sends no event until a host sets its filter, after every connection.
    if (!s.m30().setEventFilter(M30_EVENT_FILTER_ALL))
        return failed(err, "the instrument did not accept the event filter");
    std::shared_ptr<M30_status> status;
    int lines = 0;
    QEventLoop loop;
    QObject::connect(&s.m30(), &M30Protocol::statusData, &loop,
                     [&](std::shared_ptr<M30_status> st) { status = st; });
    QObject::connect(&s.m30(), &M30Protocol::totalData, &loop,
                     [&](std::shared_ptr<M30_total_data> total) {
                         out << monitorLine(status.get(), total.get()) << "\n";
                         out.flush();
                         if (++lines == count) loop.quit();
                     });
    QObject::connect(&s.device(), &MXXDevice::disconnected, &loop, &QEventLoop::quit);
    loop.exec();
    if (s.linkLost()) {
        err << "survokart-cli: the link ended\n";
        return EXIT_NO_ANSWER;
    }
    return EXIT_OK;
}

SurveyWindow windowOf(const Args &a, int *value, QString *problem) {
    bool ok = true;
    if (a.flag("--days")) {
        *value = a.option("--days").toInt(&ok);
        if (!ok || *value < 0) *problem = "--days needs a number of days";
        return SurveyWindow::Days;
    }
    if (a.flag("--hours")) {
        *value = a.option("--hours").toInt(&ok);
        if (!ok || *value < 0) *problem = "--hours needs a number of hours";
        return SurveyWindow::Hours;
    }
    return SurveyWindow::All;
}

void progress(QTextStream &err, int done, int total) {
    if (!isatty(STDERR_FILENO)) return;
    err << "\rdownloading records: " << done << "/" << total << (done == total ? "\n" : "");
    err.flush();
}

int download(Session &s, const Args &a, QTextStream &out, QTextStream &err) {
    QString format = a.option("--format");
    if (format != "csv" && format != "geojson")
        return usage(err, "download needs --format csv or --format geojson");
    int value = 0;
    QString problem;
    SurveyWindow window = windowOf(a, &value, &problem);
    if (!problem.isEmpty()) return usage(err, problem);

    std::vector<uint8_t> list(SURVEY_LIST_BYTES);
    int count = 0;
    if (!s.m30().txBuffDownload(kRecordList, 0, 1, SURVEY_LIST_MAX, 0, 0, &count, nullptr, nullptr,
                                reinterpret_cast<char *>(list.data()),
                                static_cast<int>(list.size()), nullptr))
        return failed(err, "the instrument did not deliver its list of survey records");
    std::vector<int32_t> ids = decodeSurveyList(list.data(), list.size(), count);
    QDateTime now = QDateTime::currentDateTime();
    std::vector<ExportedRecord> records;
    std::vector<uint8_t> buffer(SURVEY_RECORD_BYTES);
    // Newest first, up to the first record outside the window.
    for (size_t i = 0; i < ids.size(); ++i) {
        std::fill(buffer.begin(), buffer.end(), 0);
        s.m30().txBuffDownload(kStoredRecord, 0, ids[ids.size() - 1 - i], 1, 0, 0, nullptr, nullptr,
                               nullptr, reinterpret_cast<char *>(buffer.data()),
                               static_cast<int>(buffer.size()), nullptr);
        SurveyRecord r = decodeSurveyRecord(buffer.data(), buffer.size());
        progress(err, static_cast<int>(i + 1), static_cast<int>(ids.size()));
        if (!surveyRecordInWindow(r.time, window, value, now)) break;
        records.push_back({r.time, r.doseUnit, std::move(r.points)});
        if (s.linkLost()) return failed(err, "the link ended during the download");
    }
    std::reverse(records.begin(), records.end());  // oldest first in the file
    QByteArray bytes = format == "csv" ? exportCsv(records) : exportGeoJson(records);
    return writeOutput(a.option("-o"), bytes, out, err) ? EXIT_OK : EXIT_FILE;
}

int display(Session &s, const Args &a, QTextStream &out, QTextStream &err) {
    QString path = a.option("-o");
    if (path.isEmpty()) return usage(err, "display needs -o FILE.png");
    QByteArray png(kPictureCapacity, '\0');
    int length = 0;
    if (!s.m30().txBuffDownload(kDisplayPicture, 1, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                png.data(), static_cast<int>(png.size()), &length))
        return failed(err, "the instrument did not deliver a picture of its display");
    png.truncate(length);
    return writeOutput(path, png, out, err) ? EXIT_OK : EXIT_FILE;
}

int key(Session &s, const Args &a, QTextStream &, QTextStream &err) {
    // Key codes the instrument takes, as on its own keyboard.
    static const std::map<QString, int> keys = {
        {"ok", 28}, {"up", 103}, {"left", 105}, {"right", 106}, {"down", 108}};
    QString name = a.rest.value(0).toLower();
    auto k = keys.find(name);
    if (k == keys.end()) return usage(err, "key needs one of ok, up, down, left, right");
    return s.m30().emulateKey(k->second) ? EXIT_OK : failed(err, "the key press was refused");
}

int record(Session &s, const Args &a, QTextStream &, QTextStream &err) {
    QString state = a.rest.value(0).toLower();
    if (state != "on" && state != "off") return usage(err, "record needs on or off");
    return s.m30().recordSurvey(state == "on" ? 1 : 0)
               ? EXIT_OK
               : failed(err, "the instrument refused to switch survey recording");
}

using Command = int (*)(Session &, const Args &, QTextStream &, QTextStream &);

}  // namespace

QString monitorLine(const M30_status *status, const M30_total_data *total) {
    QString position = "-";
    if (status && status->gps_valid) {
        double altitude = status->gps_altitude;
        position = formatGpsCoords(status->gps_latitude, 1) + "  " +
                   formatGpsCoords(status->gps_longitude, 0) + "  " +
                   QString("%1m").arg(altitude, 0, 'f', 0);
    }
    QString value, unit;
    formatDose(total->dose_rate, M30_dose_unit(*total), &value, &unit);
    float cps = static_cast<float>(total->count_rate);
    return QString("%1  %2  %3  %4")
        .arg(QTime::currentTime().toString("HH:mm:ss"), position,
             QString("%1 %2/hr").arg(value, unit), QString("%1 cps").arg(cps, 0, 'g', 6));
}

int runCli(const QStringList &arguments, QTextStream &out, QTextStream &err) {
    static const std::map<QString, Command> commands = {
        {"identify", identify}, {"monitor", monitor}, {"download", download},
        {"display", display},   {"key", key},         {"record", record}};
    if (arguments.size() < 2 || arguments.contains("--help")) return usage(err, "");
    Args a{arguments[0], arguments[1], arguments.mid(2)};
    auto command = commands.find(a.command);
    if (command == commands.end()) return usage(err, "unknown command '" + a.command + "'");
    Session session(err);
    int r = session.open(a.target);
    return r == EXIT_OK ? command->second(session, a, out, err) : r;
}
