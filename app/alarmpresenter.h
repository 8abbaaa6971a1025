// How the main window shows the instruments' alarms: the instrument's column of the "Actual" grid
// turns red while its alarm lasts, the map marks where the reading was when it went off, and a
// sound repeats until every alarm has been acknowledged. A reading picked on a timeline is
// marked on the map and brought into view.
//
// GUI thread only.
#pragma once

#include <QList>
#include <QObject>
#include <functional>

class InstrumentWatch;
class QLabel;
class QTimer;
class TMapView;

class AlarmPresenter : public QObject {
    Q_OBJECT

public:
    // The map's marker key of the reading picked on a timeline; instruments mark with 1..3.
    static constexpr int kPickedMarker = 0;
    static constexpr int kRepeatMs = 3000;

    AlarmPresenter(TMapView &map, QObject *parent);

    // `column`: the labels of the instrument's column, which turn red.
    void addInstrument(int devNum, InstrumentWatch &watch, const QList<QLabel *> &column);
    // Replaces the sound (QApplication::beep by default); tests count it.
    void setSound(std::function<void()> sound) { m_sound = std::move(sound); }
    bool columnShown(int devNum) const;

private:
    struct Instrument {
        int devNum;
        InstrumentWatch *watch;
        QList<QLabel *> column;
    };
    void paintColumn(const Instrument &instrument);
    void updateSound();

    TMapView &m_map;
    QList<Instrument> m_instruments;
    std::function<void()> m_sound;
    QTimer *m_repeat;
};
