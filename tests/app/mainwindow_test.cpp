// The application window: start-up and settings, the readings grid and the map, the distance
// measurement, and the whole window against three simulated instruments.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QErrorMessage>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

#include <cmath>
#include <deque>
#include <functional>

#include "app/alarmpresenter.h"
#include "app/appsettings.h"
#include "app/distancedialog.h"
#include "app/downloaddialog.h"
#include "app/geotagger.h"
#include "app/instrumentwatch.h"
#include "app/linkkeeper.h"
#include "app/mainwindow.h"
#include "app/scalefactor.h"
#include "app/settingsdialog.h"
#include "app/surveysession.h"
#include "app/watchbar.h"
#include "downloaded.h"
#include "field.h"
#include "map/format.h"
#include "map/geo.h"
#include "map/widgets/mapview.h"
#include "sim/survey.h"
#include "survey/surveyjournalreader.h"

namespace {

using test::child;
using test::spin;

const QString kMap = QStringLiteral(MAP_DATA_DIR "/survey.png");
const QString kTint1 = "background-color:rgba(120,16,16,50)";
const QString kTint3 = "background-color:rgba(16,16,120,50)";
const QString kGreen = "color:rgb(0,90,0);";

// Answers its message boxes without a person: records them and gives `answer`.
class QuietWindow : public MainWindow {
public:
    QStringList messages;
    QMessageBox::StandardButton answer = QMessageBox::Ok;

protected:
    QMessageBox::StandardButton showMessage(QMessageBox::Icon, const QString &title,
                                            const QString &text,
                                            QMessageBox::StandardButtons) override {
        messages << title + "|" + text;
        return answer;
    }
};

QString text(const QWidget &w, const char *label) {
    return child<QLabel>(w, label)->text();
}

// The map and device status tabs (the connect dialogs have a "tabWidget" of their own).
QTabWidget *mainTabs(const QWidget &w) {
    return child<QTabWidget>(*child<QFrame>(w, "frame_2"), "tabWidget");
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        store().clear();
        // A window starts without the instruments of the one before unless a test asks for them.
        AppSettings().setReconnectLastInstruments(false);
        QFile::remove(scaleFactorFile());
        // Earlier versions kept scale_factor.ini in the working directory.
        m_oldDir = QDir::currentPath();
        QDir::setCurrent(m_workDir.path());
    }
    void TearDown() override { QDir::setCurrent(m_oldDir); }
    static QSettings store() { return test::appSettings(); }

    QTemporaryDir m_workDir;
    QString m_oldDir;
    // The map view reports a missing map in a box of its own.
    int m_mapErrorBoxes = 0;
    test::ModalAnswer<QErrorMessage> m_mapErrors{[this](QErrorMessage *box) {
        ++m_mapErrorBoxes;
        box->reject();
    }};
};

TEST_F(MainWindowTest, FirstStartThenTheStoredSettings) {
    {
        QuietWindow w;
        EXPECT_EQ(w.windowTitle(), "Survokart v1.3.0");
        // A 1366 x 768 screen, less a title bar and a desktop panel, holds all of it.
        const QSize screen(1366, 768 - 68);
        EXPECT_TRUE(screen.expandedTo(w.size()) == screen) << w.width() << "x" << w.height();
        EXPECT_TRUE(screen.expandedTo(w.minimumSizeHint()) == screen);
        EXPECT_EQ(mainTabs(w)->currentIndex(), 1);
        auto *info = child<QTabWidget>(w, "tabInfo");
        EXPECT_EQ(info->count(), 1);
        EXPECT_EQ(info->tabText(0), "Actual");
        EXPECT_EQ(child<QPushButton>(w, "btnShowGps")->text(), "Show GPS");
        // The single-device path is gone; what is left of a measurement shows with one only.
        for (const char *hidden : {"btnDevice", "btnConnect", "btnDisconnect", "btnDownload",
                                   "lblDist", "lblAzimuthField3"}) {
            const auto *widget = w.findChild<QWidget *>(hidden);
            EXPECT_TRUE(!widget || widget->isHidden()) << hidden;
        }
        EXPECT_EQ(text(w, "lblLatField2"), "-");
        EXPECT_EQ(child<QLabel>(w, "lblDoseRateField")->styleSheet(), kGreen + kTint1);
        EXPECT_EQ(child<QLabel>(w, "lblDoseRate")->styleSheet(), "color:rgb(0,90,0)");
        EXPECT_EQ(child<QLabel>(w, "lblCpsField3")->styleSheet(), kTint3);
        EXPECT_EQ(child<QLabel>(w, "lblCps")->styleSheet(), "");
        ASSERT_TRUE(spin([&] { return w.mapView().mapScene().trackR() == 2.0; }));
        // No map chosen yet: the map area says where to choose one, and nothing pops up.
        EXPECT_FALSE(w.mapView().mapHint().isEmpty());
        EXPECT_EQ(m_mapErrorBoxes, 0);
        w.close();
    }
    QSettings s = store();
    EXPECT_EQ(s.value("TrackR").toDouble(), 2.0);
    EXPECT_EQ(s.value("ShowGps").toBool(), false);
    const QList<double> thresholds{200, 300, 500, 10000, 100000};
    const QList<QColor> colors{Qt::white, Qt::red, QColor(128, 128, 128), QColor(230, 230, 0),
                               Qt::white};
    EXPECT_EQ(s.beginReadArray("TrackColorInfo"), 5);
    for (int i = 0; i < 5; ++i) {
        s.setArrayIndex(i);
        EXPECT_EQ(s.value("Threshold").toDouble(), thresholds[i]);
        EXPECT_EQ(s.value("Color").value<QColor>(), colors[i]);
    }
    s.endArray();
    EXPECT_EQ(readScaleFactor(scaleFactorFile()), 100);
    EXPECT_TRUE(QFileInfo::exists(scaleFactorFile()));
    EXPECT_FALSE(QFileInfo::exists(oldScaleFactorFile()));

    // What a user left behind last time.
    s.setValue("MapPoints", 1);
    s.setValue("ShowGps", true);
    s.setValue("InfoTabSheet", 1);
    s.beginWriteArray("TrackColorInfo");
    s.setArrayIndex(2);
    s.setValue("Threshold", 555.0);
    s.setValue("Color", QColor(Qt::blue));
    s.endArray();
    s.sync();
    ASSERT_TRUE(writeScaleFactor(scaleFactorFile(), 150, nullptr));
    {
        QuietWindow w;
        EXPECT_EQ(child<QPushButton>(w, "btnShowGps")->text(), "Hide GPS");
        EXPECT_EQ(child<QLabel>(w, "lblCpsField")->styleSheet(), kGreen + kTint1);
        EXPECT_EQ(child<QLabel>(w, "lblDoseRate")->styleSheet(), "");
        // Ok in the settings keeps a scale above 100 %.
        test::ModalAnswer<SettingsDialog> settings(
            [](SettingsDialog *d) { child<QPushButton>(*d, "btn_ok")->click(); });
        child<QPushButton>(w, "btnSettings")->click();
        EXPECT_EQ(readScaleFactor(scaleFactorFile()), 150);
        w.close();
    }
    s.sync();
    EXPECT_EQ(s.value("InfoTabSheet").toInt(), 0);  // the "Selected" tab is gone
    s.beginReadArray("TrackColorInfo");
    s.setArrayIndex(2);
    EXPECT_EQ(s.value("Threshold").toDouble(), 555.0);
    EXPECT_EQ(s.value("Color").value<QColor>(), QColor(Qt::blue));
    s.endArray();

    // The next start runs at 150 %.
    const QByteArray before = qgetenv("QT_SCALE_FACTOR");
    EXPECT_EQ(applyScaleFactor(scaleFactorFile()), 150);
    EXPECT_EQ(qgetenv("QT_SCALE_FACTOR"), "1.5");
    qputenv("QT_SCALE_FACTOR", before);
    EXPECT_EQ(readScaleFactor(m_workDir.path() + "/none.ini"), 100);

    // The scale an earlier version kept in the working folder is taken over, once.
    ASSERT_TRUE(QFile::remove(scaleFactorFile()));
    ASSERT_TRUE(writeScaleFactor(oldScaleFactorFile(), 80, nullptr));
    EXPECT_EQ(applyStoredScaleFactor(), 80);
    ASSERT_TRUE(writeScaleFactor(oldScaleFactorFile(), 120, nullptr));
    EXPECT_EQ(applyStoredScaleFactor(), 80);
    qputenv("QT_SCALE_FACTOR", before);
}

TEST_F(MainWindowTest, ReadingsFillTheColumnsAndTheMapMeasures) {
    store().setValue("MapPath", kMap);
    QTemporaryDir pictures;
    QuietWindow w;
    w.show();
    TMapView &map = w.mapView();
    ASSERT_TRUE(spin([&] { return map.mapScene().hasProjection(); }));
    auto *showGps = child<QPushButton>(w, "btnShowGps");

    w.deviceConnection("NETW/(127.0.0.2)/4444", true, "4567", 2);
    w.deviceConnection("NETW/(127.0.0.3)/4444", true, "0303", 3);
    EXPECT_EQ(text(w, "lblDev2"), "4567");
    EXPECT_TRUE(showGps->isEnabled());

    // Labels always; map points only while GPS is shown.
    w.addMapPoint(49.2, 16.6, 310.6, 1234567.f, 150.f, 1, 2);
    EXPECT_EQ(text(w, "lblCpsField2"), "1.23457e+06 cps");
    EXPECT_EQ(text(w, "lblAltField2"), "311m");
    EXPECT_EQ(text(w, "lblDoseRateField2"), "150 nSv/hr");
    EXPECT_EQ(text(w, "lblLatField2"), formatGpsCoords(49.2, 1));
    EXPECT_EQ(map.getTrackLen(), 0);
    showGps->click();
    EXPECT_EQ(showGps->text(), "Hide GPS");
    w.addMapPoint(49.201, 16.601, 300, 250.f, 90.f, 1, 3,
                  QDateTime(QDate(2026, 12, 1), QTime(10, 0, 0)));
    EXPECT_EQ(text(w, "lblCpsField3"), "-");  // downloaded: no live reading
    EXPECT_EQ(map.getTrackLen(), 1);
    // The point keeps what it is, when it was measured and by which device.
    double x = 0, y = 0;
    ASSERT_TRUE(map.convToProj(49.201, 16.601, &x, &y));
    QTest::mouseClick(map.viewport(), Qt::LeftButton, {}, map.mapFromScene(QPointF(x, y)));
    EXPECT_EQ(map.selectedPointText(),
              QStringList({"90 nSv/hr", "01/12/2026 10:00:00", "Device 3"}));

    w.answer = QMessageBox::No;
    child<QPushButton>(w, "btnClearMap")->click();
    EXPECT_EQ(w.messages.last(), "Map|Do you really want to delete all map points?");
    EXPECT_EQ(map.getTrackLen(), 1);
    w.answer = QMessageBox::Yes;
    child<QPushButton>(w, "btnClearMap")->click();
    EXPECT_EQ(map.getTrackLen(), 0);

    w.deviceConnection("NETW/(127.0.0.2)/4444", false, "", 2);
    EXPECT_EQ(text(w, "lblDev2"), "Device 2");
    EXPECT_EQ(text(w, "lblCpsField2"), "-");
    EXPECT_TRUE(showGps->isEnabled());
    w.deviceConnection("NETW/(127.0.0.3)/4444", false, "", 3);
    EXPECT_TRUE(showGps->isEnabled());  // drawing is still on

    // Distance: 1st Point, a click, the dialog again, 2nd Point, a click, the dialog with the
    // measurement.
    mainTabs(w)->setCurrentIndex(0);
    std::deque<const char *> choices{"btn_point1", "btn_point2", "btn_exit"};
    test::ModalAnswer<DistanceDialog> choose([&](DistanceDialog *d) {
        if (choices.empty()) return;
        child<QPushButton>(*d, choices.front())->click();
        choices.pop_front();
    });
    QSignalSpy picked(&map, &TMapView::pointSelect);
    w.OnBtnDistanceClicked();
    EXPECT_EQ(choices.size(), 2u);
    QTest::mouseClick(map.viewport(), Qt::LeftButton, {}, QPoint(100, 100));
    EXPECT_EQ(choices.size(), 1u);
    QTest::mouseClick(map.viewport(), Qt::LeftButton, {}, QPoint(300, 250));
    ASSERT_TRUE(choices.empty());
    ASSERT_EQ(picked.count(), 2);
    const TGeodesic g = geodesicInverse(picked[0][0].toDouble(), picked[0][1].toDouble(),
                                        picked[1][0].toDouble(), picked[1][1].toDouble());
    EXPECT_GT(g.distance, 100);
    EXPECT_EQ(text(w, "lblDistField"), QString("%1m").arg(g.distance, 0, 'f', 0));
    EXPECT_EQ(text(w, "lblAzimuthField"), QString("%1deg").arg(g.azimuth, 0, 'f', 1));

    // A picture folder changed in the settings is followed at once.
    test::ModalAnswer<SettingsDialog> settings([&](SettingsDialog *d) {
        child<QLineEdit>(*d, "edit_pic_dir")->setText(pictures.path());
        child<QPushButton>(*d, "btn_ok")->click();
    });
    child<QPushButton>(w, "btnSettings")->click();
    EXPECT_EQ(w.geotagger().folder(), pictures.path());
    EXPECT_EQ(child<QLabel>(w, "lblCps")->styleSheet(), "font-weight: bold;");
    EXPECT_EQ(store().value("PicPath").toString(), pictures.path());
}

// WCAG relative luminance and contrast ratio.
double luminance(const QColor &c) {
    const auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

// The text colour of a label's style sheet against what it is drawn on: its tint over the window.
double contrastOf(const QLabel &label, const QColor &window) {
    const QString style = label.styleSheet();
    const QRegularExpressionMatch text =
        QRegularExpression(R"((?:^|;)color:rgb\((\d+),(\d+),(\d+)\))").match(style);
    const QRegularExpressionMatch tint =
        QRegularExpression(R"(background-color:rgba\((\d+),(\d+),(\d+),(\d+)\))").match(style);
    if (!text.hasMatch()) return 0;
    QColor ground = window;
    if (tint.hasMatch()) {
        const double a = tint.captured(4).toInt() / 255.0;
        const auto mix = [&](int i, int under) {
            return int(std::lround(tint.captured(i).toInt() * a + under * (1 - a)));
        };
        ground = QColor(mix(1, window.red()), mix(2, window.green()), mix(3, window.blue()));
    }
    const QColor ink(text.captured(1).toInt(), text.captured(2).toInt(), text.captured(3).toInt());
    const double l1 = luminance(ink), l2 = luminance(ground);
    return (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
}

TEST_F(MainWindowTest, TheHighlightedReadingIsReadableOnEveryTintInLightAndDarkPalettes) {
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::Window, QColor(53, 53, 53));
    dark.setColor(QPalette::WindowText, Qt::white);
    for (const QPalette &palette : {before, dark}) {
        QApplication::setPalette(palette);
        for (int mapPoints : {0, 1}) {
            store().setValue("MapPoints", mapPoints);
            QuietWindow w;
            const QColor window = w.palette().color(QPalette::Window);
            const QString row = mapPoints ? "lblCps" : "lblDoseRate";
            EXPECT_GE(contrastOf(*child<QLabel>(w, qPrintable(row)), window), 4.5);
            for (const QString column : {"", "2", "3"})
                EXPECT_GE(contrastOf(*child<QLabel>(w, qPrintable(row + "Field" + column)), window),
                          4.5)
                    << qPrintable(row + column) << " on " << qPrintable(window.name());
        }
    }
    QApplication::setPalette(before);
}

// A camera card mounted after the start, or taken out and put back.
TEST_F(MainWindowTest, APictureFolderIsWatchedFromTheMomentItAppears) {
    QTemporaryDir card;
    const QString pictures = card.path() + "/DCIM/100CAMERA";
    const auto photograph = [&](const QString &name) {
        QFile f(pictures + "/" + name);
        return f.open(QIODevice::WriteOnly) && f.write("jpeg") == 4;
    };
    store().setValue("PicPath", pictures);
    QuietWindow w;
    auto *status = child<QLabel>(w, "lblStatus");
    // The survey's name and point count come first.
    const QString survey = w.survey().name() + ", points: 0";
    EXPECT_EQ(status->text(), survey + " | Picture folder not found");
    w.geotagger().setFix(49.5, 16.25, 310);
    for (int mount = 0; mount < 2; ++mount) {
        ASSERT_TRUE(QDir().mkpath(pictures));
        ASSERT_TRUE(photograph("OLD.JPG"));  // on the card already: not taken here
        ASSERT_TRUE(spin([&] { return status->text() == survey; }));
        ASSERT_TRUE(photograph("NEW.JPG"));
        ASSERT_TRUE(spin([&] { return QFile::exists(pictures + "/NEW.gps"); }));
        EXPECT_FALSE(QFile::exists(pictures + "/OLD.gps"));
        ASSERT_TRUE(QDir(card.path() + "/DCIM").removeRecursively());
        ASSERT_TRUE(spin([&] { return status->text() == survey + " | Picture folder not found"; }));
    }
}

TEST_F(MainWindowTest, ShowGpsFollowsWhatIsConnectedAndDrawnNow) {
    test::Field field("127.0.0.1", "C0000101");
    QuietWindow w;
    auto *showGps = child<QPushButton>(w, "btnShowGps");
    EXPECT_FALSE(showGps->isEnabled());
    test::connectThroughTheDialog(w.panel(1), field);
    EXPECT_TRUE(showGps->isEnabled());
    showGps->click();
    EXPECT_EQ(showGps->text(), "Hide GPS");

    // The last instrument gone, drawing can still be turned off, and only then is it disabled.
    child<QPushButton>(w.panel(1), "btn_disconnectDevice")->click();
    ASSERT_TRUE(spin([&] { return w.panel(1).state() == DeviceStatusWidget::Disconnected; }));
    EXPECT_TRUE(showGps->isEnabled());
    showGps->click();
    EXPECT_EQ(showGps->text(), "Show GPS");
    EXPECT_FALSE(showGps->isEnabled());
}

// At start each panel looks for the instrument it had: one that is there is connected, one that
// is not is waited for in the panel, never in a message box; neither when the user turned it off.
TEST_F(MainWindowTest, StartsWithTheLastInstrumentsAndWaitsForAnAbsentOne) {
    AppSettings().setReconnectLastInstruments(true);
    test::Field here("127.0.0.1", "C0000101");
    QStringList boxes;
    test::ModalAnswer<QMessageBox> answer([&](QMessageBox *box) {
        boxes << box->text();
        box->accept();
    });
    {
        test::Field gone("127.0.0.3", "C0000303");
        QuietWindow w;
        test::connectThroughTheDialog(w.panel(1), here);
        test::connectThroughTheDialog(w.panel(3), gone);
    }
    const int links = here.instrument.links_accepted();
    {
        QuietWindow w;
        ASSERT_TRUE(spin([&] { return w.panel(1).state() == DeviceStatusWidget::Connected; }));
        EXPECT_EQ(child<QLineEdit>(w.panel(1), "lineEditSerial")->text(), "0101");
        EXPECT_EQ(w.panel(2).state(), DeviceStatusWidget::Disconnected);
        ASSERT_TRUE(spin([&] { return w.panel(3).linkKeeper().attempt() == 2; }));
        EXPECT_EQ(w.panel(3).linkKeeper().phase(), LinkKeeper::Waiting);
        EXPECT_TRUE(child<QLabel>(w.panel(3), "linkState")->text().startsWith("Waiting"));
        EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join(", ").toStdString();
    }
    AppSettings().setReconnectLastInstruments(false);
    {
        QuietWindow w;
        QCoreApplication::processEvents();
        EXPECT_EQ(w.panel(1).state(), DeviceStatusWidget::Disconnected);
        EXPECT_EQ(w.panel(3).state(), DeviceStatusWidget::Disconnected);
    }
    EXPECT_EQ(here.instrument.links_accepted(), links + 1);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(", ").toStdString();
}

TEST_F(MainWindowTest, DownloadedPointsGoToTheTrackOnlyWhateverShowGpsSays) {
    store().setValue("MapPath", kMap);
    QuietWindow w;
    // A point that arrives before the map has loaded stays on the track.
    w.addMapPoint(49.0, 16.4, 190, 10.f, 20.f, 1, 2, QDateTime(QDate(2026, 11, 1), QTime(8, 0)));
    w.show();
    TMapView &map = w.mapView();
    ASSERT_TRUE(spin([&] { return map.mapScene().hasProjection(); }));
    EXPECT_EQ(map.getTrackLen(), 1);
    EXPECT_EQ(child<QPushButton>(w, "btnShowGps")->text(), "Show GPS");
    w.deviceConnection("NETW/(127.0.0.2)/4444", true, "4567", 2);
    w.addMapPoint(49.2, 16.6, 310, 500.f, 150.f, 1, 2);
    EXPECT_EQ(map.getTrackLen(), 1);

    w.addMapPoint(49.1, 16.5, 200, 20.f, 30.f, 1, 2, QDateTime(QDate(2026, 11, 1), QTime(9, 0)));
    EXPECT_EQ(map.getTrackLen(), 2);
    EXPECT_EQ(text(w, "lblCpsField2"), "500 cps");
    EXPECT_EQ(text(w, "lblDoseRateField2"), "150 nSv/hr");
    EXPECT_EQ(text(w, "lblLatField2"), formatGpsCoords(49.2, 1));
    EXPECT_EQ(text(w, "lblAltField2"), "310m");
}

// A window on the demo map, the map tab in front, for one point of device 3's history.
struct MapWindow {
    QuietWindow w;
    TMapView &map = w.mapView();
    double x = 0, y = 0;  // the point in the scene
    MapWindow() {
        w.show();
        mainTabs(w)->setCurrentIndex(0);
        EXPECT_TRUE(spin([&] { return !map.isLoading() && map.mapScene().hasProjection(); }));
    }
    void addPoint() {
        w.addMapPoint(49.201, 16.601, 300, 600.f, 250.f, 1, 3,
                      QDateTime(QDate(2026, 12, 1), QTime(10, 0)));
        EXPECT_TRUE(map.convToProj(49.201, 16.601, &x, &y));
    }
    QPoint at(double dx = 0, double dy = 0) const {
        return map.mapFromScene(QPointF(x + dx, y + dy));
    }
    void click(QPoint where) { QTest::mouseClick(map.viewport(), Qt::LeftButton, {}, where); }
    // Ok in the settings after `change`.
    void settings(const std::function<void(SettingsDialog *)> &change) {
        test::ModalAnswer<SettingsDialog> answer([&](SettingsDialog *d) {
            change(d);
            child<QPushButton>(*d, "btn_ok")->click();
        });
        child<QPushButton>(w, "btnSettings")->click();
    }
};

TEST_F(MainWindowTest, AClickedPointIsShownBesideItNotInALiveColumnAndAMissSelectsNothing) {
    store().setValue("MapPath", kMap);
    MapWindow m;
    m.addPoint();
    QSignalSpy picked(&m.map, &TMapView::pointSelect);
    m.click(m.at());
    EXPECT_EQ(m.map.selectedPointText().last(), "Device 3");
    for (const char *cell : {"lblLatField", "lblLongField", "lblAltField"})
        EXPECT_EQ(text(m.w, cell), "-") << cell;  // device 1 has measured nothing
    m.click(m.at(30, 30));
    EXPECT_TRUE(m.map.selectedPointText().isEmpty());
    ASSERT_EQ(picked.size(), 2);
    EXPECT_EQ(picked.last()[4].toInt(), 0);
}

TEST_F(MainWindowTest, AnotherMapKeepsTheTrackAndPlacesItThere) {
    // The demo map again, at half the scale and elsewhere in the same projection.
    QTemporaryDir dir;
    const QString wide = dir.filePath("wide.png");
    ASSERT_TRUE(QFile::copy(kMap, wide));
    ASSERT_TRUE(QFile::copy(QString(kMap).replace(".png", ".ppr"), dir.filePath("wide.ppr")));
    QFile world(dir.filePath("wide.pgw"));
    ASSERT_TRUE(world.open(QIODevice::WriteOnly));
    world.write("10\n0\n0\n-10\n613000\n5454000\n");
    world.close();
    store().setValue("MapPath", kMap);
    MapWindow m;
    m.addPoint();
    const QPointF before(m.x, m.y);
    m.settings([&](SettingsDialog *d) { child<QLineEdit>(*d, "edit_map")->setText(wide); });
    ASSERT_TRUE(spin([&] { return !m.map.isLoading(); }));
    EXPECT_TRUE(m.w.messages.isEmpty()) << m.w.messages.join(", ").toStdString();
    EXPECT_EQ(m.map.getTrackLen(), 1);
    ASSERT_TRUE(m.map.convToProj(49.201, 16.601, &m.x, &m.y));
    EXPECT_GT(QLineF(before, QPointF(m.x, m.y)).length(), 30);
    m.click(m.at());
    EXPECT_EQ(m.map.selectedPointText(),
              QStringList({"250 nSv/hr", "01/12/2026 10:00:00", "Device 3"}));
}

TEST_F(MainWindowTest, TheTrackItsLegendAndTheCalloutShowTheChosenReading) {
    store().setValue("MapPath", kMap);
    store().setValue("TrackR", 20.0);
    MapWindow m;
    // No instrument has said which unit its dose rates are in.
    EXPECT_EQ(m.map.legendText().mid(0, 2), QStringList({"Dose rate", "< 200"}));
    m.addPoint();
    // 250 nSv/h lies in the red band of the default colours, 600 cps in the yellow one.
    const auto green = [&m] {
        // Off the selection's cross and its reading, inside the disc.
        return qGreen(m.map.viewport()->grab().toImage().pixel(m.at(5, 5)));
    };
    EXPECT_LT(green(), 100);
    m.click(m.at());
    EXPECT_EQ(m.map.legendText()[1], "< 200 nSv/hr");
    EXPECT_EQ(m.map.selectedPointText().first(), "250 nSv/hr");

    const auto mapPoints = [&m](int reading) {
        m.settings(
            [&](SettingsDialog *d) { child<QComboBox>(*d, "comboBox")->setCurrentIndex(reading); });
    };
    mapPoints(1);
    EXPECT_EQ(m.map.legendText().mid(0, 2), QStringList({"Count rate", "< 200 cps"}));
    EXPECT_EQ(m.map.selectedPointText().first(), "600 cps");
    EXPECT_GT(green(), 150);
    mapPoints(0);
    EXPECT_EQ(m.map.legendText()[1], "< 200 nSv/hr");
    EXPECT_LT(green(), 100);
}

TEST_F(MainWindowTest, DistanceIsMeasuredFromTheMapAndShownInTheGrid) {
    store().setValue("MapPath", kMap);
    MapWindow m;
    m.addPoint();
    EXPECT_FALSE(child<QPushButton>(m.w, "btnDistance")->isHidden());
    std::deque<const char *> choices{"btn_point1", "btn_point2", "btn_exit"};
    test::ModalAnswer<DistanceDialog> choose([&](DistanceDialog *d) {
        if (choices.empty()) return;
        child<QPushButton>(*d, choices.front())->click();
        choices.pop_front();
    });
    test::ModalAnswer<QMenu> menu([](QMenu *menu) {
        for (QAction *a : menu->actions())
            if (a->text() == "Measure distance") menu->setActiveAction(a);
        QTest::keyClick(menu, Qt::Key_Return);
    });
    const QPoint inside(150, 150);
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, inside,
                                 m.map.viewport()->mapToGlobal(inside));
    QCoreApplication::sendEvent(m.map.viewport(), &rightClick);
    EXPECT_EQ(choices.size(), 2u);
    EXPECT_TRUE(child<QLabel>(m.w, "lblDist")->isHidden());
    m.click(m.at(-40, 0));
    m.click(m.at(40, 30));
    ASSERT_TRUE(choices.empty());
    for (const char *shown : {"lblDist", "lblDistField", "lblAzimuth", "lblAzimuthField"})
        EXPECT_TRUE(child<QLabel>(m.w, shown)->isVisible()) << shown;
    EXPECT_EQ(text(m.w, "lblDistField"), QString("%1m").arg(m.map.scaleGetDistance(), 0, 'f', 0));
    EXPECT_GT(m.map.scaleGetDistance(), 200);
}

// The stored points of the first instrument's history that carry a fix.
int storedFixes(const sim::M30Options &m30) {
    sim::Walk walk(m30.walk);
    sim::SurveyMemory memory(walk, m30.history);
    int fixes = 0;
    for (int32_t id : memory.ids()) {
        const std::optional<sim::SurveyRecord> record = memory.record(id);
        for (const sim::SurveyPoint &p : record->points)
            fixes += p.valid ? 1 : 0;
    }
    return fixes;
}

TEST_F(MainWindowTest, ThreeInstrumentsLiveADownloadAndARestart) {
    QTemporaryDir pictures;
    store().setValue("MapPath", kMap);
    store().setValue("PicPath", pictures.path());
    auto options = [](int n) {
        sim::M30Options m30;
        m30.rate_hz = 5;
        m30.gps_outages = false;
        m30.walk.seed = n;
        m30.walk.speed = sim::kDrivingSpeed;
        if (n == 1) {
            m30.history.records = 3;
            m30.history.days = 1;
            m30.history.end_time = QDateTime::currentSecsSinceEpoch() - 60;
        }
        return m30;
    };
    test::Field fields[] = {{"127.0.0.1", "C0000101", options(1)},
                            {"127.0.0.2", "C0000202", options(2)},
                            {"127.0.0.3", "C0000303", options(3)}};
    QString journal;
    {
        QuietWindow w;
        w.show();
        QStringList panelErrors;
        test::ModalAnswer<QMessageBox> errors([&](QMessageBox *box) {
            panelErrors << box->text();
            box->done(QMessageBox::Ok);
        });
        for (int i = 0; i < 3; ++i)
            test::connectThroughTheDialog(w.panel(i + 1), fields[i]);
        child<QPushButton>(w, "btnShowGps")->click();
        std::vector<std::unique_ptr<QSignalSpy>> live;
        for (int i = 1; i <= 3; ++i)
            live.push_back(std::make_unique<QSignalSpy>(&w.panel(i), &DeviceStatusWidget::reading));
        ASSERT_TRUE(spin([&] {
            for (const auto &spy : live)
                if (spy->count() < 2) return false;  // the second one carries the totals
            return w.mapView().getTrackLen() >= 6;
        }));
        for (int n = 1; n <= 3; ++n) {
            const QString column = n == 1 ? "" : QString::number(n);
            EXPECT_EQ(text(w, qPrintable("lblDev" + QString::number(n))),
                      QString("0%1").arg(n).repeated(2));
            EXPECT_NE(text(w, qPrintable("lblLatField" + column)), "-");
            EXPECT_TRUE(text(w, qPrintable("lblDoseRateField" + column)).endsWith("Gy/hr"));
        }

        // A photograph taken now is placed by the live fixes.
        QFile photo(pictures.path() + "/field.jpg");
        ASSERT_TRUE(photo.open(QIODevice::WriteOnly));
        photo.close();
        ASSERT_TRUE(spin([&] { return QFile::exists(pictures.path() + "/field.gps"); }));
        EXPECT_TRUE(w.messages.contains("Info|GPS information saved to file!"));

        w.resize(1366, 768);
        ASSERT_EQ(w.size(), QSize(1366, 768));
        mainTabs(w)->setCurrentIndex(0);
        EXPECT_TRUE(w.grab().save(SCREENSHOT_DIR "/main_window_map.png"));
        mainTabs(w)->setCurrentIndex(1);
        EXPECT_TRUE(w.grab().save(SCREENSHOT_DIR "/main_window_devices.png"));

        // A download through the first panel puts every stored fix on the map.
        std::unique_ptr<test::DownloadedPoints> downloaded;
        test::ModalAnswer<DownloadDialog> download([&](DownloadDialog *d) {
            if (downloaded) return;
            downloaded = std::make_unique<test::DownloadedPoints>(d);
            child<QRadioButton>(*d, "radioButton_all")->click();
            child<QPushButton>(*d, "btn_start")->click();
        });
        const int before = w.mapView().getTrackLen();
        child<QPushButton>(w.panel(1), "btn_download")->click();
        ASSERT_TRUE(downloaded);
        const int stored = storedFixes(options(1));
        EXPECT_GT(stored, 0);
        EXPECT_EQ(downloaded->count(), stored);
        ASSERT_TRUE(spin([&] { return w.mapView().getTrackLen() >= before + stored; }));

        // The same records once more: neither journalled nor drawn twice. Live points are off
        // the track meanwhile, so that what is on it can be counted.
        child<QPushButton>(w, "btnShowGps")->click();
        QCoreApplication::processEvents();
        const int track = w.mapView().getTrackLen();
        std::unique_ptr<test::DownloadedPoints> repeated;
        test::ModalAnswer<DownloadDialog> again([&](DownloadDialog *d) {
            if (repeated) return;
            repeated = std::make_unique<test::DownloadedPoints>(d);
            child<QRadioButton>(*d, "radioButton_all")->click();
            child<QPushButton>(*d, "btn_start")->click();
        });
        child<QPushButton>(w.panel(1), "btn_download")->click();
        ASSERT_TRUE(repeated);
        EXPECT_EQ(repeated->count(), stored);
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
        EXPECT_EQ(w.mapView().getTrackLen(), track);
        child<QPushButton>(w, "btnShowGps")->click();
        EXPECT_TRUE(panelErrors.isEmpty()) << panelErrors.join(", ").toStdString();
        journal = w.survey().path();
        w.close();
    }
    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(journal));
    int downloaded = 0, live[3] = {};
    for (const SurveyReading &r : reader.readings()) {
        if (r.downloaded()) {
            ++downloaded;
            EXPECT_EQ(r.serial, "C0000101");
        } else {
            ++live[r.instrument - 1];
            EXPECT_EQ(r.serial, QString("C0000%1").arg(r.instrument * 101));
        }
    }
    EXPECT_EQ(downloaded, storedFixes(options(1)));
    for (int n : live)
        EXPECT_GT(n, 0);
    QuietWindow again;
    EXPECT_EQ(child<QPushButton>(again, "btnShowGps")->text(), "Hide GPS");
    EXPECT_EQ(again.geotagger().folder(), pictures.path());
}

// A simulated instrument that keeps sending fixes.
sim::M30Options walking() {
    sim::M30Options m30;
    m30.rate_hz = 10;
    m30.gps_outages = false;
    return m30;
}

TEST_F(MainWindowTest, ReadingsOfAnInstrumentAreJournalledAndCounted) {
    store().setValue("PicPath", m_workDir.path() + "/no-pictures");
    test::Field field("127.0.0.1", "C0000101", walking());
    QString path;
    int points = 0;
    {
        QuietWindow w;
        EXPECT_TRUE(w.survey().name().startsWith("Survey 20"));
        test::connectThroughTheDialog(w.panel(1), field);
        ASSERT_TRUE(spin([&] { return w.survey().points() >= 3; }));
        EXPECT_EQ(text(w, "lblStatus"), QString("%1, points: %2 | Picture folder not found")
                                            .arg(w.survey().name())
                                            .arg(w.survey().points()));
        w.close();
        points = w.survey().points();
        path = w.survey().path();
    }
    EXPECT_TRUE(path.startsWith(SurveySession::folder() + "/")) << path.toStdString();
    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.errorString().toStdString();
    EXPECT_TRUE(reader.info().endedCleanly());
    const std::vector<SurveyReading> readings = reader.readings();
    ASSERT_EQ(int(readings.size()), points);
    for (const SurveyReading &r : readings) {
        EXPECT_EQ(r.instrument, 1);
        EXPECT_EQ(r.serial, "C0000101");
        EXPECT_TRUE(r.usable());
        EXPECT_FALSE(r.downloaded());
        EXPECT_TRUE(std::isfinite(r.altitude) && std::isfinite(r.countRate) &&
                    std::isfinite(r.doseRate));
    }
}

TEST_F(MainWindowTest, AnInterruptedSurveyIsOfferedBackOrKeptAsItWas) {
    store().setValue("ShowGps", true);
    test::Field field("127.0.0.1", "C0000101", walking());
    QString path;
    int points = 0;
    {
        QuietWindow w;
        // The map's first load clears the track; readings come after it.
        QSignalSpy loaded(&w.mapView(), &TMapView::mapLoaded);
        ASSERT_TRUE(spin([&] { return loaded.count() > 0; }));
        test::connectThroughTheDialog(w.panel(1), field);
        ASSERT_TRUE(spin([&] { return w.survey().points() >= 5; }));
        points = w.survey().points();
        ASSERT_EQ(w.mapView().getTrackLen(), points);
        path = w.survey().path();
    }  // gone without closing, as in a crash

    {
        QuietWindow again;
        again.answer = QMessageBox::Yes;
        ASSERT_TRUE(spin([&] { return again.mapView().getTrackLen() == points; }));
        ASSERT_EQ(again.messages.size(), 1);
        EXPECT_TRUE(again.messages[0].startsWith("Survey|The last survey was interrupted"));
        EXPECT_EQ(again.survey().path(), path);
        EXPECT_EQ(again.survey().points(), points);
    }  // and again

    {
        QuietWindow fresh;
        fresh.answer = QMessageBox::No;
        ASSERT_TRUE(spin([&] { return fresh.survey().isOpen(); }));
        EXPECT_EQ(fresh.messages.size(), 1);
        EXPECT_NE(fresh.survey().path(), path);
        EXPECT_EQ(fresh.survey().points(), 0);
        EXPECT_EQ(fresh.mapView().getTrackLen(), 0);
        fresh.close();
    }
    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.errorString().toStdString();
    EXPECT_EQ(int(reader.readings().size()), points);
    // Closed, the survey ended: the next start begins a new one without asking.
    QuietWindow next;
    EXPECT_TRUE(next.survey().isOpen());
}

// Started, ended, opened and exported from the File menu, through the real dialogs.
TEST_F(MainWindowTest, ASurveyIsRenamedOpenedElsewhereAndExportedFromTheMenu) {
    store().setValue("PicPath", m_workDir.path() + "/no-pictures");
    test::Field field("127.0.0.1", "C0000101", walking());
    QuietWindow w;
    auto trigger = [&](const char *action) { child<QAction>(w, action)->trigger(); };
    test::connectThroughTheDialog(w.panel(1), field);
    ASSERT_TRUE(spin([&] { return w.survey().points() >= 10; }));
    const QString first = w.survey().path();
    {
        test::ModalAnswer<QInputDialog> name([](QInputDialog *d) {
            d->setTextValue("  Riverbank   north ");
            d->accept();
        });
        trigger("actionNewSurvey");
    }
    EXPECT_EQ(w.survey().name(), "Riverbank north");
    EXPECT_NE(w.survey().path(), first);
    SurveyJournalReader ended;
    ASSERT_TRUE(ended.open(first));
    EXPECT_TRUE(ended.info().endedCleanly());
    const std::vector<SurveyReading> readings = ended.readings();
    ASSERT_GE(readings.size(), 10u);

    // A copy from another machine: its track is drawn in place of the one on the map.
    ASSERT_TRUE(QDir(m_workDir.path()).mkpath("elsewhere"));
    const QString copy = m_workDir.path() + "/elsewhere/copied.gpkg";
    ASSERT_TRUE(QFile::copy(first, copy));
    QSignalSpy shown(&w, &MainWindow::surveyShown);
    {
        test::ModalAnswer<QFileDialog> pick([&](QFileDialog *d) {
            d->selectFile(copy);
            static_cast<QDialog *>(d)->accept();
        });
        trigger("actionOpenSurvey");
    }
    ASSERT_TRUE(spin([&] { return shown.count() == 1; }));
    EXPECT_EQ(shown[0][1].toString(), "");
    EXPECT_EQ(w.mapView().getTrackLen(), int(readings.size()));
    EXPECT_TRUE(
        text(w, "lblStatus")
            .contains(
                QString("On the map: %1, points: %2").arg(ended.info().name).arg(readings.size())));

    // What is on the map is exported, off the window's thread.
    const QString exported = m_workDir.path() + "/riverbank.geojson";
    QSignalSpy written(&w, &MainWindow::surveyExported);
    {
        test::ModalAnswer<QFileDialog> save([&](QFileDialog *d) {
            d->selectNameFilter("GeoJSON (*.geojson)");
            d->selectFile(exported);
            static_cast<QDialog *>(d)->accept();
        });
        trigger("actionExportSurvey");
    }
    ASSERT_TRUE(spin([&] { return written.count() == 1; }));
    EXPECT_EQ(written[0][1].toString(), "");
    QFile file(exported);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray features = QJsonDocument::fromJson(file.readAll())["features"].toArray();
    EXPECT_EQ(features.size(), qsizetype(readings.size()));
    EXPECT_TRUE(w.messages.isEmpty()) << w.messages.join('\n').toStdString();
    w.close();
}

}  // namespace

// A scripted dose rate crosses the stored threshold while the instrument walks: the alarm goes
// off once, shows in the panel, its column and on the map, sounds until acknowledged, and the
// timeline and the spectrum draw the live readings (screenshots timeline.png, spectrum.png).
TEST_F(MainWindowTest, AnAlarmIsShownUntilAcknowledgedAndThePlotsDrawLiveReadings) {
    store().setValue("Alarm/DoseRate", 1000);
    sim::M30Options m30 = walking();
    m30.spectrum_period_ms = 300;
    m30.dose_profile = {{0, 120}, {2500, 150}, {3000, 4000}};
    test::Field field("127.0.0.1", "C0000101", m30);
    QuietWindow w;
    int beeps = 0;
    w.alarms().setSound([&] { ++beeps; });
    InstrumentWatch &watch = w.panel(1).watch();
    WatchBar &bar = w.panel(1).watchBar();
    QSignalSpy alarms(&watch, &InstrumentWatch::alarmChanged);
    test::connectThroughTheDialog(w.panel(1), field);
    ASSERT_TRUE(spin([&] { return watch.alarmActive() && watch.spectrum(); }));
    ASSERT_TRUE(spin([&] {
        return watch.samples().back().timeMs - watch.samples().front().timeMs >
               1000 + (watch.alarm(InstrumentWatch::DoseRate).latest()->startMs -
                       watch.samples().front().timeMs);
    }));
    EXPECT_EQ(alarms.count(), 1);
    EXPECT_TRUE(bar.alarmShown());
    EXPECT_TRUE(w.alarms().columnShown(1));
    EXPECT_FALSE(w.alarms().columnShown(2));
    EXPECT_TRUE(w.mapView().hasMarker(1));
    EXPECT_GE(beeps, 1);
    auto *acknowledge = child<QToolButton>(bar, "btn_acknowledge");
    ASSERT_TRUE(acknowledge->isEnabled());
    acknowledge->click();
    EXPECT_FALSE(acknowledge->isEnabled());
    EXPECT_FALSE(watch.alarmUnacknowledged());
    EXPECT_TRUE(bar.alarmShown()) << "red until the readings fall back";
    EXPECT_GT(watch.statistics().dose().dose(), 0);

    bar.showTimeline();
    bar.showSpectrum();
    TimelineWidget *timeline = bar.timeline();
    SpectrumWidget *spectrum = bar.spectrum();
    ASSERT_TRUE(timeline && spectrum);
    child<QCheckBox>(*spectrum->window(), "checkBox_logarithmic")->click();
    EXPECT_TRUE(spectrum->logarithmic());
    timeline->setSpanMs(TimelineWidget::kMinSpanMs);
    QApplication::processEvents();
    EXPECT_TRUE(timeline->window()->grab().save(SCREENSHOT_DIR "/timeline.png"));
    EXPECT_TRUE(spectrum->window()->grab().save(SCREENSHOT_DIR "/spectrum.png"));
    // The line of the threshold is drawn where the plot's scale puts it.
    const QImage plot = timeline->grab().toImage();
    const QRect area = timeline->plotRect();
    int red = 0;
    for (int x = area.left() + 1; x < area.right(); ++x)
        for (int y = area.top() + 1; y < area.bottom(); ++y)
            red += plot.pixelColor(x, y) == QColor(Qt::red);
    EXPECT_GT(red, area.width() / 4);

    const qint64 span = timeline->spanMs();
    QWheelEvent out(QPointF(50, 50), timeline->mapToGlobal(QPointF(50, 50)), QPoint(),
                    QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(timeline, &out);
    EXPECT_EQ(timeline->spanMs(), span * 5 / 4);
    // A click on the newest moment shows where it was taken.
    QTest::mouseClick(timeline, Qt::LeftButton, {}, QPoint(area.right() - 1, area.center().y()));
    EXPECT_TRUE(w.mapView().hasMarker(AlarmPresenter::kPickedMarker));

    // The alarm's start and acknowledgement are in the survey's journal.
    w.close();
    SurveyJournalReader reader;
    ASSERT_TRUE(reader.open(w.survey().path()));
    const std::vector<SurveyAlarm> journalled = reader.alarms();
    ASSERT_EQ(journalled.size(), 2u) << reader.errorString().toStdString();
    EXPECT_EQ(journalled[0].event, SurveyAlarm::Start);
    EXPECT_GT(journalled[0].value, 1000);
    EXPECT_EQ(journalled[0].serial, "C0000101");
    EXPECT_EQ(journalled[1].event, SurveyAlarm::Acknowledged);
}
