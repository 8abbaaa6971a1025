// Every setting the application keeps, each with its key, its type and its default, in one place.
// They live in the user's store of organization "Corvanta", application "Survokart" (on Linux
// ~/.config/Corvanta/Survokart.conf); the GUI scale, which is read before the application object
// exists, in scale_factor.ini beside it (scalefactor.h).
//
// GUI thread only. Reads come from the store as it is when the object is made; writes reach the
// file at sync() or when the object goes.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QCoreApplication>
#include <QList>
#include <QSettings>
#include <QString>

#include <optional>

class AppSettings {
    Q_DECLARE_TR_FUNCTIONS(AppSettings)

public:
    // One step of the track's colour scale: readings from `threshold` up take `colour`.
    struct TrackColour {
        double threshold;
        QColor colour;
    };
    AppSettings();

    // The main window.
    QByteArray mainWindowGeometry() const;
    void setMainWindowGeometry(const QByteArray &geometry);
    QByteArray mainWindowState() const;
    void setMainWindowState(const QByteArray &state);
    int infoTab() const;
    void setInfoTab(int index);
    double mapZoom() const;
    void setMapZoom(double zoom);

    // The settings dialog's choices.
    QString mapPath() const;
    void setMapPath(const QString &path);
    QString picturePath() const;
    void setPicturePath(const QString &path);
    double trackRadius() const;
    void setTrackRadius(double radius);
    // Which reading colours the track: 0 dose rate, 1 count rate.
    int mapPoints() const;
    void setMapPoints(int mapPoints);
    // Always five steps; a step or value not stored keeps its default.
    QList<TrackColour> trackColours() const;
    void setTrackColours(const QList<TrackColour> &colours);
    int scaleFactor() const;
    // False, with the reason, when scale_factor.ini could not be written.
    bool setScaleFactor(int percent, QString *error);

    // The survey's alarm thresholds, in the instruments' raw dose-rate unit and in counts per
    // second; 0 (the default) is off.
    struct AlarmThresholds {
        double doseRate = 0;
        double countRate = 0;
    };
    AlarmThresholds alarmThresholds() const;
    void setAlarmThresholds(const AlarmThresholds &thresholds);

    bool showGps() const;
    void setShowGps(bool show);

    // The journal of the survey last open; empty before the first one.
    QString lastSurvey() const;
    void setLastSurvey(const QString &path);

    // The download dialog's last period: the texts of its two fields (none when never saved) and
    // the window chosen (SurveyWindow's value).
    std::optional<QString> downloadDays() const;
    std::optional<QString> downloadHours() const;
    int downloadWindow() const;
    void setDownloadPeriod(int days, int hours, int window);

    // The connect dialog's last tab.
    int connectTab() const;
    void setConnectTab(int index);

    // Whether the panels look for their last instruments at start (on by default).
    bool reconnectLastInstruments() const;
    void setReconnectLastInstruments(bool on);
    // Failed attempts after which a lost link is given up; 0: never.
    int reconnectAttempts() const;
    void setReconnectAttempts(int attempts);
    // The instrument panel `panel` (1 to 3) was last connected to; empty strings when none, or
    // when the user let it go.
    struct Instrument {
        QString connString;
        QString serial;
    };
    Instrument lastInstrument(int panel) const;
    void setLastInstrument(int panel, const Instrument &instrument);

    // Writes what was set; false, with the file and the reason, when the store could not take it.
    bool sync(QString *error);

private:
    std::optional<QString> text(const QString &key) const;

    mutable QSettings m_store;  // reading an array moves its current group
};
