// The program in German, as a user with LANG=de_DE.UTF-8 sees it.
#include <QErrorMessage>
#include <QFrame>
#include <QLabel>
#include <QTranslator>

#include "app/connectdialog.h"
#include "app/mainwindow.h"
#include "app/translation.h"
#include "field.h"
#include "map/rastersource.h"
#include "map/widgets/mapview.h"

namespace {

using test::child;

// Lists no instruments and sends nothing.
class SilentSeeker : public MXXSeeker {
public:
    int listUSBDevices(std::vector<QString> &list) const override {
        list.clear();
        return 0;
    }
    int sendNetQuery() override { return 0; }
};

class German : public ::testing::Test {
protected:
    void SetUp() override {
        test::appSettings().clear();
        // As the program does, with the locale forced and the build tree's folder.
        m_translators =
            installTranslations(QLocale(QLocale::German, QLocale::Germany), {TRANSLATIONS_DIR});
    }
    // Back to English for the other tests of this run.
    void TearDown() override {
        for (QTranslator *translator : m_translators) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }
    QList<QTranslator *> m_translators;
};

TEST_F(German, TheWindowTheConnectDialogAndTheMapCoreSpeakGermanAndTheWindowFits) {
    ASSERT_EQ(m_translators.size(), 2);  // ours and Qt's own
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Abbrechen");
    {
        test::ModalAnswer<QErrorMessage> errors([](QErrorMessage *box) { box->reject(); });
        MainWindow w;
        auto *tabs = child<QTabWidget>(*child<QFrame>(w, "frame_2"), "tabWidget");
        EXPECT_EQ(tabs->tabText(1), "GERÄTESTATUS");
        EXPECT_EQ(child<QTabWidget>(w, "tabInfo")->tabText(0), "Aktuell");
        EXPECT_EQ(child<QPushButton>(w, "btnShowGps")->text(), "GPS anzeigen");
        EXPECT_EQ(child<QLabel>(w, "lblDoseRate")->text(), "Dosisleistung:");
        ASSERT_TRUE(test::spin([&] { return !w.mapView().mapHint().isEmpty(); }));
        EXPECT_EQ(w.mapView().mapHint(),
                  "Keine Karte gewählt: Wählen Sie in den Einstellungen ein Kartenbild.");
        // Longer words than English, on the same 1366 x 768 screen less title bar and panel.
        const QSize screen(1366, 768 - 68);
        EXPECT_TRUE(screen.expandedTo(w.minimumSizeHint()) == screen)
            << w.minimumSizeHint().width() << "x" << w.minimumSizeHint().height();
        w.resize(1366, 768);
        EXPECT_TRUE(w.grab().save(SCREENSHOT_DIR "/main_window_de.png"));
        w.close();
    }
    {
        ConnectDialog dialog(QSharedPointer<SilentSeeker>::create());
        EXPECT_EQ(dialog.windowTitle(), "Mit Gerät verbinden");
        EXPECT_EQ(child<QTabWidget>(dialog, "tabWidget")->tabText(ConnectDialog::NetTab), "Netz");
        EXPECT_EQ(child<QPushButton>(dialog, "connectButton")->text(), "Auswählen");
        test::screenshot(dialog, QStringLiteral("connect_dialog_de.png"));
    }
    // The map core's messages, which reach the user in the window's error boxes.
    QString error;
    EXPECT_EQ(TRasterSource::open(QStringLiteral("/nonexistent/map.png"), &error), nullptr);
    EXPECT_EQ(error, "nicht gefunden");
}

}  // namespace
