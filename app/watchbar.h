// The row of a device panel that shows what the surveyor watches: the cumulative dose, the alarm
// with its acknowledgement, and the buttons that open the timeline, the spectrum and the
// statistics (in windows of their own, so the main window keeps its size). While an alarm lasts
// the panel it sits on turns red.
//
// GUI thread only.
#pragma once

#include <QPointer>
#include <QWidget>

#include "instrumentwatch.h"
#include "spectrumwidget.h"
#include "timelinewidget.h"

class QDialog;
class QLabel;
class QLineEdit;
class QToolButton;

class WatchBar : public QWidget {
    Q_OBJECT

public:
    // `panel` is the widget that turns red; `devNum` names the instrument in window titles.
    WatchBar(InstrumentWatch &watch, QWidget *panel, int devNum);

    void setDevNum(int devNum) { m_devNum = devNum; }
    bool alarmShown() const { return m_alarmShown; }
    // The plots, once opened; null before.
    TimelineWidget *timeline() const { return m_timeline; }
    SpectrumWidget *spectrum() const { return m_spectrum; }

    void showTimeline();
    void showSpectrum();
    void showStatistics();

private:
    void refreshDose();
    void refreshAlarm();
    QDialog *plotWindow(const QString &title, QWidget *controls, QWidget *plot);

    InstrumentWatch &m_watch;
    QWidget *m_panel;
    int m_devNum;
    QLineEdit *m_dose;
    QLabel *m_alarm;
    QToolButton *m_acknowledge;
    QPointer<TimelineWidget> m_timeline;
    QPointer<SpectrumWidget> m_spectrum;
    bool m_alarmShown = false;
    QPalette m_normalPalette;
};
