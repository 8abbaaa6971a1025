#include "arguments.h"

#include <QColor>
#include <QCommandLineParser>

#include <optional>

#include "session.h"

namespace {

// The options each command takes; anything else is refused.
QList<QCommandLineOption> optionsOf(const QString &command) {
    if (command == "monitor") return {{"count", "", "N"}};
    if (command == "download")
        return {{"days", "", "N"},
                {"hours", "", "N"},
                {"all", ""},
                {"format", "", "FORMAT"},
                {QStringList{"o", "output"}, "", "FILE"}};
    if (command == "display") return {{QStringList{"o", "output"}, "", "FILE"}};
    if (command == "export")
        return {{"format", "", "FORMAT"},
                {"thresholds", "", "LIST"},
                {"colours", "", "LIST"},
                {QStringList{"o", "output"}, "", "FILE"}};
    return {};
}

// Positional arguments after the command: the target, and the key or the recording state.
int positionalsOf(const QString &command) {
    return command == "key" || command == "record" ? 2 : 1;
}

bool number(const QCommandLineParser &p, const QString &name, int low, int *value) {
    bool ok = false;
    *value = p.value(name).toInt(&ok);
    return ok && *value >= low;
}

QString checkDownload(const QCommandLineParser &p, CliArguments *a) {
    QString format = p.value("format");
    if (format != "csv" && format != "geojson")
        return Cli::tr("download needs --format csv or --format geojson");
    a->format = *surveyFormatOf(format);
    if (p.isSet("days") + p.isSet("hours") + p.isSet("all") > 1)
        return Cli::tr("give only one of --days, --hours and --all");
    if (p.isSet("days")) {
        a->window = SurveyWindow::Days;
        if (!number(p, "days", 0, &a->windowValue)) return Cli::tr("--days needs a number of days");
    }
    if (p.isSet("hours")) {
        a->window = SurveyWindow::Hours;
        if (!number(p, "hours", 0, &a->windowValue))
            return Cli::tr("--hours needs a number of hours");
    }
    a->output = p.value("o");
    return {};
}

QString checkExport(const QCommandLineParser &p, CliArguments *a) {
    std::optional<SurveyFormat> format = surveyFormatOf(p.value("format"));
    if (!format) return Cli::tr("export needs --format csv, geojson, kml or gpx");
    a->format = *format;
    if (p.isSet("thresholds"))
        for (const QString &t : p.value("thresholds").split(',')) {
            bool ok = false;
            a->thresholds.append(t.trimmed().toDouble(&ok));
            if (!ok) return Cli::tr("--thresholds needs numbers separated by commas");
        }
    for (const QString &name : p.value("colours").split(',', Qt::SkipEmptyParts)) {
        QColor colour = QColor::fromString(name.trimmed());
        if (!colour.isValid())
            return Cli::tr("'%1' is not a colour; give names such as red or #ff8000").arg(name);
        a->colours.append(colour);
    }
    if (a->colours.isEmpty()) a->colours = {QColor(Qt::red)};
    a->output = p.value("o");
    return {};
}

// What is wrong with the options of the command, or nothing.
QString checkOptions(const QCommandLineParser &p, CliArguments *a) {
    if (a->command == "monitor" && p.isSet("count") && !number(p, "count", 1, &a->count))
        return Cli::tr("--count needs a positive number");
    if (a->command == "download") return checkDownload(p, a);
    if (a->command == "export") return checkExport(p, a);
    if (a->command == "display") {
        a->output = p.value("o");
        if (a->output.isEmpty()) return Cli::tr("display needs -o FILE.png");
    }
    static const QStringList keys = {"ok", "up", "down", "left", "right"};
    if (a->command == "key" && !keys.contains(a->value))
        return Cli::tr("key needs one of ok, up, down, left, right");
    if (a->command == "record" && a->value != "on" && a->value != "off")
        return Cli::tr("record needs on or off");
    return {};
}

}  // namespace

QString usageText() {
    return Cli::tr(
        "usage: survokart-cli COMMAND CONN [options]\n"
        "  CONN is host[:port] (port 4444 by default) or a connection string\n"
        "  identify CONN                        type, serial number and firmware version\n"
        "  monitor CONN [--count N]             live readings, one line each, until Ctrl-C\n"
        "  download CONN [--days N | --hours N | --all] --format csv|geojson [-o FILE]\n"
        "                                       stored survey points; FILE.partial until complete\n"
        "  display CONN -o FILE.png             a picture of the instrument's display\n"
        "  key CONN ok|up|down|left|right       presses a key of the instrument\n"
        "  record CONN on|off                   starts or stops survey recording\n"
        "  export SURVEY_FILE --format csv|geojson|kml|gpx [-o FILE]\n"
        "         [--thresholds T1,T2,... --colours C0,C1,...]\n"
        "                                       a survey journal as a file; KML points are\n"
        "                                       coloured by dose rate (red without colours)\n"
        "  --help                               shows this text\n"
        "  --version                            shows the version\n");
}

ParseOutcome parseArguments(const QStringList &arguments, CliArguments *a, QString *problem) {
    static const QStringList commands = {"identify", "monitor", "download", "display",
                                         "key",      "record",  "export"};
    if (arguments.contains("--help") || arguments.contains("-h")) return ParseOutcome::Help;
    if (arguments.contains("--version")) return ParseOutcome::Version;
    a->command = arguments.value(0);
    if (a->command.isEmpty()) {
        *problem = Cli::tr("a command is missing");
        return ParseOutcome::Usage;
    }
    if (!commands.contains(a->command)) {
        *problem = Cli::tr("unknown command '%1'").arg(a->command);
        return ParseOutcome::Usage;
    }
    QCommandLineParser p;
    p.addOptions(optionsOf(a->command));
    if (!p.parse(QStringList{"survokart-cli"} + arguments.mid(1))) {
        *problem = p.errorText();
        return ParseOutcome::Usage;
    }
    const QStringList positionals = p.positionalArguments();
    if (positionals.isEmpty()) {
        *problem = a->command == "export"
                       ? Cli::tr("export needs the survey file")
                       : Cli::tr("%1 needs the instrument's address").arg(a->command);
        return ParseOutcome::Usage;
    }
    if (positionals.size() > positionalsOf(a->command)) {
        *problem = Cli::tr("unexpected argument '%1'").arg(positionals.last());
        return ParseOutcome::Usage;
    }
    a->target = positionals[0];
    a->value = positionals.value(1).toLower();
    *problem = checkOptions(p, a);
    return problem->isEmpty() ? ParseOutcome::Run : ParseOutcome::Usage;
}
