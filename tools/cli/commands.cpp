#include "commands.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>

#include <map>
#include <optional>

#include "arguments.h"
#include "download.h"
#include "map/format.h"
#include "mxx/m17.h"
#include "partialfile.h"
#include "session.h"
#include "surveyexport.h"
#include "survokart/version.h"

namespace {

// Transfer-buffer kind of the display picture.
constexpr int kDisplayPicture = 8;
constexpr int kPictureCapacity = 4 << 20;

int outputFailed(CommandContext &c) {
    QIODevice *device = c.out.device();
    return c.session.fail(EXIT_FILE, Cli::tr("cannot write to standard output: %1")
                                         .arg(device ? device->errorString() : QString()));
}

int identify(CommandContext &c) {
    Session &s = c.session;
    char serial[M17_SERIAL_SIZE + 1] = {};
    if (M17_get_serial(s.device().connId(), serial, 1) != 0 || !serial[0] ||
        !Protocol::lastCommandAnswered())
        return s.commandFailed(Cli::tr("the request for its serial number"));
    M30_versions versions{};
    if (!s.m30().getVersions(versions))
        return s.commandFailed(Cli::tr("the request for its firmware version"));
    // The leading text of the versions record is the firmware's.
    const char *text = reinterpret_cast<const char *>(versions.bytes);
    QString firmware = QString::fromUtf8(text, static_cast<int>(strnlen(text, 8)));
    c.out << "type: M30 (" << s.type() << ")\nserial: " << serial << "\nfirmware: " << firmware
          << "\n";
    c.out.flush();
    return c.out.status() == QTextStream::Ok ? EXIT_OK : outputFailed(c);
}

int monitor(CommandContext &c) {
    Session &s = c.session;
    // An instrument sends no event until a host sets its filter, after every connection.
    if (!s.m30().setEventFilter(M30_EVENT_FILTER_ALL))
        return s.commandFailed(Cli::tr("the request for live readings"));
    std::shared_ptr<M30_status> status;
    int lines = 0;
    bool writeFailed = false;
    QEventLoop loop;
    QObject::connect(&s.m30(), &M30Protocol::statusData, &loop,
                     [&](std::shared_ptr<M30_status> st) { status = st; });
    QObject::connect(&s.m30(), &M30Protocol::totalData, &loop,
                     [&](std::shared_ptr<M30_total_data> total) {
                         c.out << monitorLine(status.get(), total.get()) << "\n";
                         c.out.flush();
                         writeFailed = c.out.status() != QTextStream::Ok;
                         if (++lines == c.arguments.count || writeFailed) loop.quit();
                     });
    s.endWith(loop);
    loop.exec();
    if (writeFailed) return outputFailed(c);
    // Ctrl-C is how a monitor without --count ends.
    if (lines == c.arguments.count || s.interrupted()) return EXIT_OK;
    return s.fail(EXIT_NO_ANSWER, Cli::tr("the link to the instrument ended"));
}

int display(CommandContext &c) {
    Session &s = c.session;
    QByteArray png(kPictureCapacity, '\0');
    int length = 0;
    if (!s.m30().txBuffDownload(kDisplayPicture, 1, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                png.data(), static_cast<int>(png.size()), &length))
        return s.commandFailed(Cli::tr("the transfer of the display picture"));
    if (length == 0) return s.fail(EXIT_FAILED, Cli::tr("the instrument sent an empty picture"));
    png.truncate(length);
    return writeOutput(c, png);
}

int key(CommandContext &c) {
    // Key codes the instrument takes, as on its own keyboard.
    static const std::map<QString, int> keys = {
        {"ok", 28}, {"up", 103}, {"left", 105}, {"right", 106}, {"down", 108}};
    return c.session.m30().emulateKey(keys.at(c.arguments.value))
               ? EXIT_OK
               : c.session.commandFailed(Cli::tr("the key press"));
}

int record(CommandContext &c) {
    return c.session.m30().recordSurvey(c.arguments.value == "on" ? 1 : 0)
               ? EXIT_OK
               : c.session.commandFailed(Cli::tr("the switch of survey recording"));
}

// A survey journal written out; no instrument is needed.
int exportCommand(const CliArguments &a, QTextStream &out, QTextStream &err) {
    auto fail = [&](int code, const QString &message) {
        err << "survokart-cli: " << message << "\n";
        err.flush();
        return code;
    };
    SurveyExportOptions o;
    o.format = a.format;
    o.thresholds = a.thresholds;
    o.colours = a.colours;
    QString error;
    if (!a.output.isEmpty()) {
        switch (exportJournal(a.target, o, a.output, &error)) {
            case JournalExportError::None:
                return EXIT_OK;
            case JournalExportError::IsTheJournal:
                return fail(EXIT_USAGE, error);
            case JournalExportError::Journal:
                return fail(EXIT_INPUT, error);
            case JournalExportError::Output:
                return fail(EXIT_FILE, error);
        }
    }
    std::vector<SurveyReading> readings;
    if (!readJournal(a.target, o, &readings, &error)) return fail(EXIT_INPUT, error);
    QByteArray bytes;
    if (!exportSurvey(readings, o, &bytes, &error)) return fail(EXIT_FILE, error);
    out << QString::fromUtf8(bytes);
    out.flush();
    if (out.status() == QTextStream::Ok) return EXIT_OK;
    QIODevice *device = out.device();
    return fail(EXIT_FILE, Cli::tr("cannot write to standard output: %1")
                               .arg(device ? device->errorString() : QString()));
}

using Command = int (*)(CommandContext &);

// Creates the output file before the link is opened, so that a path that cannot be written
// costs no connection.
bool createOutput(std::optional<PartialFile> &file, const QString &path, QTextStream &err) {
    if (path.isEmpty()) return true;
    file.emplace(path);
    if (file->open()) return true;
    err << "survokart-cli: "
        << Cli::tr("cannot write %1: %2").arg(file->partialPath(), file->errorString()) << "\n";
    return false;
}

}  // namespace

int writeOutput(CommandContext &c, const QByteArray &bytes) {
    if (c.file) {
        if (c.file->write(bytes) && c.file->commit()) return EXIT_OK;
        return c.session.fail(
            EXIT_FILE,
            Cli::tr("cannot write %1: %2").arg(c.file->partialPath(), c.file->errorString()));
    }
    c.out << QString::fromUtf8(bytes);
    c.out.flush();
    return c.out.status() == QTextStream::Ok ? EXIT_OK : outputFailed(c);
}

QString monitorLine(const M30_status *status, const M30_total_data *total) {
    QString position = "-";
    if (status && status->gps_valid) {
        double altitude = status->gps_altitude;
        position = formatGpsCoords(status->gps_latitude, 1) + "  " +
                   formatGpsCoords(status->gps_longitude, 0) + "  " + formatAltitude(altitude);
    }
    return QString("%1  %2  %3  %4")
        .arg(QTime::currentTime().toString("HH:mm:ss"), position,
             formatDoseRate(total->dose_rate, M30_dose_unit(*total)),
             formatReading(static_cast<float>(total->count_rate), kCountRate));
}

int runCli(const QStringList &arguments, QTextStream &out, QTextStream &err,
           const Interrupt *interrupt) {
    static const std::map<QString, Command> commands = {
        {"identify", identify}, {"monitor", monitor}, {"download", download},
        {"display", display},   {"key", key},         {"record", record}};
    CliArguments a;
    QString problem;
    switch (parseArguments(arguments, &a, &problem)) {
        case ParseOutcome::Help:
            out << usageText();
            out.flush();
            return out.status() == QTextStream::Ok ? EXIT_OK : EXIT_FILE;
        case ParseOutcome::Version:
            out << "survokart-cli " SURVOKART_VERSION "\n";
            out.flush();
            return out.status() == QTextStream::Ok ? EXIT_OK : EXIT_FILE;
        case ParseOutcome::Usage:
            err << "survokart-cli: " << problem << "\n"
                << Cli::tr("Try 'survokart-cli --help'.") << "\n";
            err.flush();
            return EXIT_USAGE;
        case ParseOutcome::Run:
            break;
    }
    if (a.command == "export") return exportCommand(a, out, err);
    std::optional<PartialFile> file;
    if (!createOutput(file, a.output, err)) return EXIT_FILE;
    Session session(err, interrupt);
    int r = session.open(a.target);
    if (r != EXIT_OK) return r;
    CommandContext c{session, a, out, err, file ? &*file : nullptr};
    return commands.at(a.command)(c);
}
