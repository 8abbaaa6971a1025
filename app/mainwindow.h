// The application's window: a column of command buttons, the live position and readings of up to
// three instruments side by side, the map and the three device status panels, which are the road
// to the instruments. It keeps the user's settings, turns the panels' readings into map points,
// runs the two-point distance measurement and tags new photographs with the latest live position.
//
// GUI thread only. The panels' map-point signals arrive queued.
#pragma once

#include <QColor>
#include <QDateTime>
#include <QList>
#include <QMainWindow>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "survey/surveyreading.h"

class DeviceStatusWidget;
class Geotagger;
class SurveySession;
class QLabel;
class TMapView;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int kColors = 5;  // thresholds and colours of the track

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    TMapView &mapView() const;
    DeviceStatusWidget &panel(int devNum) const;  // 1..3
    Geotagger &geotagger() const { return *m_tagger; }
    SurveySession &survey() const { return *m_survey; }

public slots:
    void OnBtnSettingsClicked();
    void OnBtnDistanceClicked();
    void OnBtnQuitClicked();
    void OnBtnShowGspClicked();
    void OnPointSelect(double lat, double lng, double alt, double dr, int found);
    void OnPicDirChanged(QString str);
    void checkPicDir(bool createGPSTag);
    void tagPicture(QString fileName);
    void loadData();
    void clearGpsData();
    void addMapPoint(double latitude, double longitude, double altitude, float cps, float dose_rate,
                     int dose_value_units, int devNum, QDateTime measured = QDateTime());
    // A live reading of a panel's instrument: journalled, and drawn when it has a fix.
    void addReading(const SurveyReading &reading);
    // A downloaded record: journalled and drawn, unless this survey has it already.
    void addRecord(const std::vector<SurveyReading> &readings);
    void deviceConnection(QString connStr, bool connected, QString serial, int devNum);
    void on_btnClearMap_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;
    // Shows a message box and returns the button chosen; tests answer without a person.
    virtual QMessageBox::StandardButton showMessage(QMessageBox::Icon icon, const QString &title,
                                                    const QString &text,
                                                    QMessageBox::StandardButtons buttons);

private:
    // Rows of the "Actual" grid that readings fill.
    enum Row { Lat, Long, Alt, DoseRate, Cps, Rows };

    void ConnectSignals();
    void SaveState();
    void RestoreState();
    void showDistDlg();
    void setupButtons();
    void highlightMapPoints(const QString &otherLabelStyle);
    void setPickMode(bool pick);
    void showError(const QString &text);
    QLabel *cell(Row row, int devNum) const;  // devNum 1..3
    void resetColumn(int devNum);
    // The track with the present radius and colours.
    void drawTrack();
    // "Show GPS" follows the present state: something to draw, or drawing to turn off.
    void updateShowGpsButton();
    // Opens the survey readings go into, unless one is open: the interrupted one, if the user
    // wants it back, or a new one.
    void openSurvey();
    void updateStatus();

    std::unique_ptr<Ui::MainWindow> form;
    Geotagger *m_tagger;
    QString m_mapPath;
    int m_mapPoints = 0;
    QString m_picPath;
    double m_trackR = 2.0;
    int m_scaleFactor = 100;
    QList<double> m_thresholds;
    QList<QColor> m_colors;
    int distPickMode = 0;
    bool m_showGps = false;
    QStringList m_connectedDevices;
    SurveySession *m_survey;
    bool m_picFolderMissing = false;
    bool m_surveyChosen = false;  // once per window: a closed window journals no more
};
