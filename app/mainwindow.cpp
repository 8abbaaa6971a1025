#include "mainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QStatusBar>
#include <QTimer>

#include "alarmpresenter.h"
#include "appresources.h"
#include "appsettings.h"
#include "devicestatuswidget.h"
#include "distancedialog.h"
#include "geotagger.h"
#include "instrumentwatch.h"
#include "map/format.h"
#include "map/widgets/mapview.h"
#include "settingsdialog.h"
#include "survey/surveyloader.h"
#include "survey/surveyreading.h"
#include "surveysession.h"
#include "survokart/version.h"
#include "ui_mainwindow.h"
#include "watchjournal.h"

namespace {

const QString kDash = QStringLiteral("-");
// The reading that colours the track stands out in green: dark on a light palette, light on a
// dark one, so that it keeps a contrast of 4.5:1 or more on every column's tint.
QString highlightColour(const QPalette &palette) {
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    return dark ? QStringLiteral("color:rgb(150,240,150)") : QStringLiteral("color:rgb(0,90,0)");
}
const QString kTints[] = {QStringLiteral("background-color:rgba(120,16,16,50)"),
                          QStringLiteral("background-color:rgba(16,120,16,50)"),
                          QStringLiteral("background-color:rgba(16,16,120,50)")};
constexpr int kMapLoadDelayMs = 50;

}  // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      form(std::make_unique<Ui::MainWindow>()),
      m_tagger(new Geotagger(this)),
      m_survey(new SurveySession(this)),
      m_shownLoader(new SurveyLoader(this)) {
    initAppResources();
    form->setupUi(this);
    setWindowTitle(QStringLiteral("Survokart") + QStringLiteral(" v") +
                   QStringLiteral(SURVOKART_VERSION));
    ConnectSignals();
    setupSurveyMenu();
    // No instrument has told yet which unit its dose rates are in.
    form->MapView->setValueUnit(kNoUnit);
    RestoreState();
    setupButtons();
    distPickMode = 0;
    for (int devNum = 1; devNum <= 3; ++devNum)
        resetColumn(devNum);
    updateShowGpsButton();
    setupAlarms();
    m_tagger->setFolder(m_picPath);
    QTimer::singleShot(kMapLoadDelayMs, this, &MainWindow::loadData);
    // Asking about an interrupted survey waits for the window and its map to be up (loadData);
    // a new one starts now.
    if (m_survey->interrupted().isEmpty()) openSurvey();
    updateStatus();
    for (QLabel *l :
         {form->lblDist, form->lblDistField, form->lblDistField2, form->lblDistField3,
          form->lblAzimuth, form->lblAzimuthField, form->lblAzimuthField2, form->lblAzimuthField3})
        l->hide();
    for (int devNum = 1; devNum <= 3; ++devNum)
        panel(devNum).setOrder(devNum);
    if (AppSettings().reconnectLastInstruments())
        for (int devNum = 1; devNum <= 3; ++devNum)
            panel(devNum).reconnectLastInstrument();
}

MainWindow::~MainWindow() = default;

TMapView &MainWindow::mapView() const {
    return *form->MapView;
}

DeviceStatusWidget &MainWindow::panel(int devNum) const {
    DeviceStatusWidget *panels[] = {form->device1, form->device2, form->device3};
    return *panels[qBound(1, devNum, 3) - 1];
}

void MainWindow::setupButtons() {
    for (QPushButton *b :
         {form->btnShowGps, form->btnDistance, form->btnClearMap, form->btnSettings, form->btnQuit})
        b->setStyleSheet(QStringLiteral("padding: 6px;Text-align:left"));
    // Measuring is reached from the map itself as well.
    auto *measure = new QAction(tr("Measure distance"), form->MapView);
    connect(measure, &QAction::triggered, this, &MainWindow::showDistDlg);
    form->MapView->addAction(measure);
    form->MapView->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void MainWindow::ConnectSignals() {
    connect(form->btnDistance, &QPushButton::clicked, this, &MainWindow::OnBtnDistanceClicked);
    connect(form->btnSettings, &QPushButton::clicked, this, &MainWindow::OnBtnSettingsClicked);
    connect(form->btnQuit, &QPushButton::clicked, this, &MainWindow::OnBtnQuitClicked);
    connect(form->btnShowGps, &QPushButton::clicked, this, &MainWindow::OnBtnShowGspClicked);
    connect(form->MapView, &TMapView::pointSelect, this, &MainWindow::OnPointSelect);
    // The map loads in the background; the scene is rebuilt on it once it is there.
    connect(form->MapView, &TMapView::mapLoaded, this, [this] {
        form->MapView->createScene();
        form->MapView->centerScreen();
    });
    // A large map keeps drawing while its overview is read; the status bar says how far it is.
    connect(&form->MapView->mapScene(), &TMapScene::rasterProgress, this, [this](int percent) {
        if (percent >= 100)
            statusBar()->clearMessage();
        else
            statusBar()->showMessage(tr("Preparing the map: %1 %").arg(percent));
    });
    for (int devNum = 1; devNum <= 3; ++devNum) {
        DeviceStatusWidget *p = &panel(devNum);
        connect(p, &DeviceStatusWidget::reading, this, &MainWindow::addReading,
                Qt::QueuedConnection);
        connect(p, &DeviceStatusWidget::recordDownloaded, this, &MainWindow::addRecord,
                Qt::QueuedConnection);
        connect(p, &DeviceStatusWidget::deviceConnection, this, &MainWindow::deviceConnection);
        // Only live fixes place a photograph; downloaded history does not say where one stands.
        connect(p, &DeviceStatusWidget::liveFix, m_tagger, &Geotagger::setFix,
                Qt::QueuedConnection);
    }
    connect(m_tagger, &Geotagger::failed, this, [this](const QString &, const QString &message) {
        showMessage(QMessageBox::Warning, tr("Error"), message, QMessageBox::Ok);
    });
    connect(m_tagger, &Geotagger::folderPresentChanged, this, [this](bool present) {
        m_picFolderMissing = !present;
        updateStatus();
    });
    connect(m_survey, &SurveySession::changed, this, &MainWindow::updateStatus);
    connect(m_survey, &SurveySession::problem, this, [this](const QString &message) {
        showMessage(QMessageBox::Warning, tr("Survey journal"), message, QMessageBox::Ok);
    });
    connect(m_survey, &SurveySession::readBack, this, &MainWindow::drawHistory);
    connect(m_tagger, &Geotagger::tagged, this, [this] {
        showMessage(QMessageBox::Information, tr("Info"), tr("GPS information saved to file!"),
                    QMessageBox::Ok);
    });
}

QMessageBox::StandardButton MainWindow::showMessage(QMessageBox::Icon icon, const QString &title,
                                                    const QString &text,
                                                    QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, text, buttons, this);
    box.setDefaultButton(QMessageBox::NoButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MainWindow::openSurvey() {
    if (m_surveyChosen) return;
    m_surveyChosen = true;
    const QString interrupted = m_survey->interrupted();
    if (!interrupted.isEmpty() &&
        showMessage(QMessageBox::Question, tr("Survey"),
                    tr("The last survey was interrupted (%1). Do you want to go on with it? "
                       "No starts a new survey and keeps the old one's file.")
                        .arg(QDir::toNativeSeparators(interrupted)),
                    QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        m_survey->reopen(interrupted);
        return;
    }
    if (QString error; !m_survey->startNew(&error))
        showError(
            tr("No survey journal could be started, so readings are not kept: %1").arg(error));
}

void MainWindow::updateStatus() {
    QStringList parts;
    if (m_survey->isOpen())
        parts << tr("%1, points: %2").arg(m_survey->name()).arg(m_survey->points());
    if (!m_shownPath.isEmpty())
        parts << tr("On the map: %1, points: %2").arg(m_shownName).arg(m_shownPoints);
    if (m_picFolderMissing) parts << tr("Picture folder not found");
    form->lblStatus->setText(parts.join(QStringLiteral(" | ")));
    QStringList tips;
    if (m_survey->isOpen()) tips << QDir::toNativeSeparators(m_survey->path());
    if (!m_shownPath.isEmpty()) tips << QDir::toNativeSeparators(m_shownPath);
    if (m_picFolderMissing) tips << QDir::toNativeSeparators(m_picPath);
    form->lblStatus->setToolTip(tips.join(QLatin1Char('\n')));
}

void MainWindow::showError(const QString &text) {
    showMessage(QMessageBox::Critical, tr("Error"), text, QMessageBox::Ok);
}

// ---- settings

void MainWindow::RestoreState() {
    const AppSettings settings;
    restoreGeometry(settings.mainWindowGeometry());
    restoreState(settings.mainWindowState(), 0);
    m_trackR = settings.trackRadius();
    m_mapPath = settings.mapPath();
    m_mapPoints = settings.mapPoints();
    m_picPath = settings.picturePath();
    m_showGps = settings.showGps();
    form->tabInfo->setCurrentIndex(settings.infoTab());
    m_thresholds.clear();
    m_colors.clear();
    for (const AppSettings::TrackColour &step : settings.trackColours()) {
        m_thresholds << step.threshold;
        m_colors << step.colour;
    }
    m_showGps = !m_showGps;
    OnBtnShowGspClicked();
    m_scaleFactor = settings.scaleFactor();
    highlightMapPoints(QString());
}

void MainWindow::SaveState() {
    AppSettings settings;
    settings.setMainWindowGeometry(saveGeometry());
    settings.setMainWindowState(saveState(0));
    settings.setInfoTab(form->tabInfo->currentIndex());
    settings.setMapZoom(form->MapView->zoom());
    settings.setTrackRadius(m_trackR);
    settings.setMapPath(m_mapPath);
    settings.setMapPoints(m_mapPoints);
    settings.setPicturePath(m_picPath);
    settings.setShowGps(m_showGps);
    QList<AppSettings::TrackColour> colours;
    for (int i = 0; i < m_colors.size(); ++i)
        colours.append({m_thresholds.value(i), m_colors[i]});
    settings.setTrackColours(colours);
    QString error;
    if (!settings.sync(&error)) showError(error);
    if (!settings.setScaleFactor(m_scaleFactor, &error)) showError(error);
}

void MainWindow::highlightMapPoints(const QString &otherLabelStyle) {
    const bool cps = m_mapPoints != 0;
    // The track, the legend and the selected point's callout follow the chosen reading at once.
    TMapView *map = form->MapView;
    map->setValueUnit(cps ? kCountRate : map->doseUnit());
    const QString highlight = highlightColour(palette());
    for (int devNum = 1; devNum <= 3; ++devNum) {
        const QString &tint = kTints[devNum - 1];
        const QString highlighted = highlight + QLatin1Char(';') + tint;
        cell(DoseRate, devNum)->setStyleSheet(cps ? tint : highlighted);
        cell(Cps, devNum)->setStyleSheet(cps ? highlighted : tint);
    }
    form->lblDoseRate->setStyleSheet(cps ? otherLabelStyle : highlight);
    form->lblCps->setStyleSheet(cps ? highlight : otherLabelStyle);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    SaveState();
    // Ended, the survey is not offered back at the next start.
    if (QString error; m_survey->isOpen() && !m_survey->end(&error))
        showError(tr("The survey journal could not be closed properly: %1").arg(error));
    event->accept();
}

void MainWindow::OnBtnQuitClicked() {
    close();
}

void MainWindow::OnBtnSettingsClicked() {
    SettingsDialog dialog(m_mapPath, m_picPath, m_trackR, m_scaleFactor, m_thresholds, m_colors,
                          m_mapPoints, this);
    connect(&dialog, &SettingsDialog::clearGpsDataOnMap, this, &MainWindow::clearGpsData);
    if (dialog.exec() != QDialog::Accepted) return;
    // The track stays: it is kept in WGS84 and goes onto the new map once that has loaded.
    if (dialog.getMapDir() != m_mapPath) {
        m_mapPath = dialog.getMapDir();
        form->MapView->loadAll(m_mapPath);
    }
    const QString picPath = dialog.getPicDir();
    if (picPath != m_picPath) {
        m_picPath = picPath;
        m_tagger->setFolder(m_picPath);
    }
    m_trackR = dialog.getTrackRadius();
    m_scaleFactor = dialog.getScaleFactor();
    m_thresholds = dialog.getValues();
    m_colors = dialog.getColors();
    m_mapPoints = dialog.getMapPoints();
    applyAlarmThresholds();
    form->MapView->setTrackR(m_trackR);
    form->MapView->setColor(m_thresholds, m_colors);
    form->MapView->createScene();
    highlightMapPoints(QStringLiteral("font-weight: bold;"));
    SaveState();
}

// ---- the panels

void MainWindow::setupAlarms() {
    m_alarms = new AlarmPresenter(*form->MapView, this);
    auto *journal = new WatchJournal(*m_survey, this);
    QLabel *headers[] = {form->lblDev1, form->lblDev2, form->lblDev3};
    for (int devNum = 1; devNum <= 3; ++devNum) {
        QList<QLabel *> column{headers[devNum - 1]};
        for (int row = 0; row < Rows; ++row)
            column << cell(Row(row), devNum);
        m_alarms->addInstrument(devNum, panel(devNum).watch(), column);
        journal->addInstrument(devNum, panel(devNum));
    }
    applyAlarmThresholds();
}

void MainWindow::applyAlarmThresholds() {
    const AppSettings::AlarmThresholds t = AppSettings().alarmThresholds();
    for (int devNum = 1; devNum <= 3; ++devNum)
        panel(devNum).watch().setThresholds(t.doseRate, t.countRate,
                                            QDateTime::currentMSecsSinceEpoch());
}

QLabel *MainWindow::cell(Row row, int devNum) const {
    QLabel *const cells[Rows][3] = {
        {form->lblLatField, form->lblLatField2, form->lblLatField3},
        {form->lblLongField, form->lblLongField2, form->lblLongField3},
        {form->lblAltField, form->lblAltField2, form->lblAltField3},
        {form->lblDoseRateField, form->lblDoseRateField2, form->lblDoseRateField3},
        {form->lblCpsField, form->lblCpsField2, form->lblCpsField3}};
    return cells[row][devNum - 1];
}

void MainWindow::resetColumn(int devNum) {
    for (int row = 0; row < Rows; ++row)
        cell(Row(row), devNum)->setText(kDash);
}

void MainWindow::deviceConnection(QString connStr, bool connected, QString serial, int devNum) {
    QLabel *headers[] = {form->lblDev1, form->lblDev2, form->lblDev3};
    const bool column = devNum >= 1 && devNum <= 3;
    if (column) {
        headers[devNum - 1]->setText(serial);
    }
    if (connected) {
        m_connectedDevices.append(connStr);
    } else {
        m_connectedDevices.removeOne(connStr);
        if (column) {
            headers[devNum - 1]->setText(tr("Device %1").arg(devNum));
            resetColumn(devNum);
        }
    }
    for (int n = 1; n <= 3; ++n)
        panel(n).setConnectedDevices(m_connectedDevices);
    updateShowGpsButton();
    if (m_connectedDevices.isEmpty()) m_tagger->clearFix();
}

void MainWindow::updateShowGpsButton() {
    form->btnShowGps->setEnabled(!m_connectedDevices.isEmpty() || m_showGps);
}

// ---- the map

namespace {
// The distance and azimuth rows of the "Actual" grid: shown while a measurement is drawn. The
// measurement is no device's, so only the first value column is used.
void showMeasurementRows(Ui::MainWindow &form, bool shown) {
    for (QLabel *l : {form.lblDist, form.lblDistField, form.lblAzimuth, form.lblAzimuthField})
        l->setVisible(shown);
}
}  // namespace

void MainWindow::addMapPoint(double latitude, double longitude, double altitude, float cps,
                             float dose_rate, int dose_value_units, int devNum,
                             QDateTime measured) {
    // Only downloaded points carry the time they were measured. They are history: they always
    // reach the track, and never pose as the instrument's current position or reading.
    const bool downloaded = measured.isValid();
    if (downloaded || m_showGps) {
        form->MapView->addTrackPoint(latitude, longitude, altitude, dose_rate, dose_value_units,
                                     cps, downloaded ? measured : QDateTime::currentDateTime(),
                                     devNum);
        if (!downloaded) form->MapView->gpsSetCoords(1, latitude, longitude);
        form->MapView->centerScreen();
    }
    if (downloaded || devNum < 1 || devNum > 3) return;
    cell(Lat, devNum)->setText(formatGpsCoords(latitude, 1));
    cell(Long, devNum)->setText(formatGpsCoords(longitude, 0));
    cell(Alt, devNum)->setText(formatAltitude(altitude));
    cell(DoseRate, devNum)->setText(formatDoseRate(dose_rate, dose_value_units));
    cell(Cps, devNum)->setText(formatReading(cps, kCountRate));
}

void MainWindow::addReading(const SurveyReading &reading) {
    openSurvey();
    m_survey->add(reading);
    if (reading.usable())
        addMapPoint(reading.latitude, reading.longitude, reading.altitude, float(reading.countRate),
                    float(reading.doseRate), reading.doseUnit, reading.instrument);
}

void MainWindow::addRecord(const std::vector<SurveyReading> &readings) {
    openSurvey();
    if (m_survey->addRecord(readings)) drawHistory(readings);  // else on the map already
}

void MainWindow::drawHistory(const std::vector<SurveyReading> &readings) {
    // History reaches the track whatever "Show GPS" says, and never poses as a live position.
    for (const SurveyReading &r : readings)
        if (r.usable())
            form->MapView->addTrackPoint(r.latitude, r.longitude, r.altitude, r.doseRate,
                                         r.doseUnit, r.countRate,
                                         QDateTime::fromMSecsSinceEpoch(r.timeMs), r.instrument);
    form->MapView->centerScreen();
}

void MainWindow::clearGpsData() {
    // A survey opened from its journal goes with its track; what is shown again is the current.
    m_shownLoader->stop();
    m_shownPath.clear();
    updateStatus();
    form->MapView->clearTrack();
    showMeasurementRows(*form, false);  // the measurement went with the track
    drawTrack();
}

void MainWindow::drawTrack() {
    TMapView *map = form->MapView;
    map->setTrackR(m_trackR);
    map->setColor(m_thresholds, m_colors);
    map->createScene();
    map->centerScreen();
}

void MainWindow::loadData() {
    form->MapView->loadAll(m_mapPath);
    // Readings that arrived before the map are kept: the track starts empty anyway.
    drawTrack();
    // An interrupted survey's track is redrawn beside them.
    openSurvey();
}

void MainWindow::on_btnClearMap_clicked() {
    if (showMessage(QMessageBox::Information, tr("Map"),
                    tr("Do you really want to delete all map points?"),
                    QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
        clearGpsData();
}

void MainWindow::OnBtnShowGspClicked() {
    if (m_showGps) {
        m_showGps = false;
        form->btnShowGps->setText(tr("Show GPS"));
        form->MapView->gpsSetCoords(0, 0, 0);
    } else {
        m_showGps = true;
        form->btnShowGps->setText(tr("Hide GPS"));
    }
    updateShowGpsButton();
}

// A selected point is shown on the map, beside the point, with its device: the grid's columns
// hold the instruments' live readings only.
void MainWindow::OnPointSelect(double lat, double lng, double, double, int) {
    const int pick = distPickMode;
    if (pick != DistanceDialog::Point1 && pick != DistanceDialog::Point2) return;
    distPickMode = 0;
    if (pick == DistanceDialog::Point1)
        form->MapView->scaleSetPoint1(lat, lng);
    else
        form->MapView->scaleSetPoint2(lat, lng);
    showDistDlg();
}

void MainWindow::OnBtnDistanceClicked() {
    showDistDlg();
}

void MainWindow::setPickMode(bool pick) {
    form->MapView->setDragEnable(!pick);
    form->MapView->setSelNearest(!pick);
}

void MainWindow::showDistDlg() {
    DistanceDialog dialog(this);
    const QString distance =
        QStringLiteral("%1m").arg(form->MapView->scaleGetDistance(), 0, 'f', 0);
    const QString azimuth =
        QStringLiteral("%1deg").arg(form->MapView->scaleGetAzimuth(), 0, 'f', 1);
    form->lblDistField->setText(distance);
    form->lblAzimuthField->setText(azimuth);
    showMeasurementRows(*form, form->MapView->hasMeasurement());
    if (dialog.exec() != QDialog::Accepted) {
        setPickMode(false);
        return;
    }
    switch (dialog.getResult()) {
        case DistanceDialog::Clear:
            form->MapView->scaleClear();
            for (QLabel *l : {form->lblDistField, form->lblAzimuthField})
                l->setText(kDash);
            showMeasurementRows(*form, false);
            setPickMode(false);
            break;
        case DistanceDialog::Point1:
        case DistanceDialog::Point2:
            distPickMode = dialog.getResult();
            setPickMode(true);
            break;
        default:
            setPickMode(false);
            break;
    }
}

// ---- photographs

void MainWindow::OnPicDirChanged(QString str) {
    Q_UNUSED(str);
    checkPicDir(true);
}

void MainWindow::checkPicDir(bool createGPSTag) {
    m_tagger->scan(createGPSTag);
}

void MainWindow::tagPicture(QString fileName) {
    m_tagger->tag(fileName);
}
