// survokart: the desktop application.
#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QMessageBox>
#include <QStyleFactory>
#include <QTimer>
#include <cstdlib>

#include "appresources.h"
#include "device/devicelibrary.h"
#include "mainwindow.h"
#include "scalefactor.h"
#include "survokart/version.h"
#include "translation.h"

int main(int argc, char **argv) {
    applyStoredScaleFactor();  // before the application object, for the whole run
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setOrganizationName(QStringLiteral("Corvanta"));
    // The maker's web domain; only platforms that name settings by domain use it.
    QApplication::setOrganizationDomain(QStringLiteral("corvanta.com"));
    QApplication::setApplicationName(QStringLiteral("Survokart"));
    QApplication::setApplicationVersion(QStringLiteral(SURVOKART_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("survokart"));
    // The language of LANG, LC_ALL or LC_MESSAGES; English where no translation matches.
    installTranslations(QLocale::system(), translationFolders());
    QCommandLineParser options;
    options.setApplicationDescription(
        QCoreApplication::translate("main", "Field software for radiation surveys."));
    options.addHelpOption();
    options.addVersionOption();
    options.process(app);  // --help and --version answer and end the program here
    initAppResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/survokart.png")));
    // Runs the instrument library for the whole run: started before the window and its seekers,
    // stopped after them.
    DeviceLibrary library;
    if (const QString error = library.start(); !error.isEmpty()) {
        QMessageBox::critical(
            nullptr, QCoreApplication::translate("main", "Survokart"),
            QCoreApplication::translate(
                "main",
                "Survokart could not start its connections to the instruments (%1).\n\n"
                "Start Survokart again. If this message comes back, restart the computer.")
                .arg(error));
        return EXIT_FAILURE;
    }
    MainWindow window;
    window.show();
    // A demonstration or CI run ends by itself: the window closes as a user would close it
    // (saving the settings), and so do any boxes still open.
    const int demoSeconds = qEnvironmentVariableIntValue("SURVOKART_DEMO_SECONDS");
    if (demoSeconds > 0)
        QTimer::singleShot(demoSeconds * 1000, &window, [&window] {
            window.close();
            QCoreApplication::quit();
        });
    return app.exec();
}
