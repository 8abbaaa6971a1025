// survokart-params-demo: a parameter dialog with every kind of row.
//   survokart-params-demo                      the dialog, with Save and Load buttons
//   survokart-params-demo --save FILE          write the demo's values to FILE
//   survokart-params-demo --load FILE          read FILE into the demo and print the values
#include "paramsdialog.h"
#include "simpleparamsserializer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDoubleValidator>
#include <QTextStream>

#include <cstdio>

namespace {

void build(ParamsDialog &dialog, const QValidator *validator) {
    dialog.addSection(QObject::tr("Instrument"), "Params")
        .addParam(QObject::tr("Serial number"), "serial", "M30-0001", ">A99-9999")
        .readOnly()
        .addParam(QObject::tr("Dose filter length"), "dose_filter_len", 12, 1, 600)
        .addSection(QObject::tr("Alarms"), "alarms")
        .addParam(QObject::tr("Dose rate threshold"), "threshold", 2.5, 0.0, 1000.0, 3)
        .addParam(QObject::tr("Note"), "note", "Check = daily # µSv/h", validator)
        .addSection(QObject::tr("Signal"), "signal", false)
        .addParam(QObject::tr("Beep"), "beep", true, 1)
        .addParam(QObject::tr("Vibrate"), "vibrate", false, 1)
        .addParam(QObject::tr("Silent"), "silent", false, 1)
        .up()
        .up()
        .addParam(QObject::tr("Units"), "units", 0, {QObject::tr("µSv/h"), QObject::tr("µR/h")})
        .up()
        .addParam(QObject::tr("Backlight"), "backlight", true);
}

void print(const ParamsDialog &dialog) {
    QTextStream out(stdout);
    for (const char *name : {"Serial number", "Dose filter length", "Dose rate threshold", "Note",
                             "Beep", "Vibrate", "Silent", "Units", "Backlight"})
        out << name << ": " << dialog.tree()->value("", name).toString() << '\n';
}

}  // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Survokart");
    QApplication::setApplicationName("survokart-params-demo");
    QCommandLineParser parser;
    parser.setApplicationDescription(QObject::tr("A parameter dialog with every kind of row."));
    parser.addHelpOption();
    const QCommandLineOption save("save", QObject::tr("Write the values to <file>."), "file");
    const QCommandLineOption load("load", QObject::tr("Read <file> and print the values."), "file");
    parser.addOptions({save, load});
    parser.process(app);

    QRegularExpressionValidator validator(QRegularExpression(".{0,40}"));
    ParamsDialog dialog(QObject::tr("Demo parameters"), "demo.txt",
                        ParamsDialog::SaveButton | ParamsDialog::LoadButton);
    build(dialog, &validator);
    if (parser.isSet(save)) {
        SimpleParamsSerializer serializer;
        dialog.tree()->saveValues(serializer);
        if (!serializer.saveAll(parser.value(save))) {
            std::fprintf(stderr, "%s\n", qPrintable(serializer.error()));
            return 1;
        }
    }
    if (parser.isSet(load)) {
        SimpleParamsSerializer serializer(parser.value(load));
        if (!serializer.error().isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(serializer.error()));
            return 1;
        }
        dialog.tree()->loadValues(serializer);
        print(dialog);
    }
    if (parser.isSet(save) || parser.isSet(load)) return 0;
    QObject::connect(&dialog, &ParamsDialog::valueChanged,
                     [](const QString &what, const QVariant &v) {
                         std::printf("%s = %s\n", qPrintable(what), qPrintable(v.toString()));
                         std::fflush(stdout);
                     });
    return dialog.exec() == QDialog::Accepted ? 0 : 1;
}
