#include "alarmpresenter.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>

#include "instrumentwatch.h"
#include "map/widgets/mapview.h"

namespace {
// Appended to whatever style the column's cells have, and taken off again. Black on this red
// keeps a contrast of 5:1; the highlight's green would not.
const QString kAlarmStyle = QStringLiteral(";background-color:rgb(230,60,60);color:black");
const QColor kAlarmColour(230, 0, 0);
const QColor kPickedColour(0, 90, 230);
}  // namespace

AlarmPresenter::AlarmPresenter(TMapView &map, QObject *parent)
    : QObject(parent), m_map(map), m_sound(&QApplication::beep), m_repeat(new QTimer(this)) {
    m_repeat->setInterval(kRepeatMs);
    connect(m_repeat, &QTimer::timeout, this, [this] { m_sound(); });
}

void AlarmPresenter::addInstrument(int devNum, InstrumentWatch &watch,
                                   const QList<QLabel *> &column) {
    m_instruments.append({devNum, &watch, column});
    const Instrument instrument = m_instruments.back();
    connect(&watch, &InstrumentWatch::alarmChanged, this,
            [this, instrument](InstrumentWatch::Reading, InstrumentWatch::AlarmEvent event) {
                paintColumn(instrument);
                if (event == InstrumentWatch::Started) {
                    const auto &samples = instrument.watch->samples();
                    if (!samples.empty() && samples.back().fix)
                        m_map.setMarker(instrument.devNum, samples.back().latitude,
                                        samples.back().longitude, kAlarmColour);
                    m_sound();
                }
                updateSound();
            });
    // The window restyles its cells when the settings change; the red comes back with the next
    // reading.
    connect(&watch, &InstrumentWatch::readingsChanged, this,
            [this, instrument] { paintColumn(instrument); });
    connect(&watch, &InstrumentWatch::placeShown, this, [this](const StatisticsReading &r) {
        if (!r.fix) return;
        m_map.setMarker(kPickedMarker, r.latitude, r.longitude, kPickedColour);
        double x = 0, y = 0;
        if (m_map.convToProj(r.latitude, r.longitude, &x, &y)) m_map.centerOn(x, y);
    });
}

bool AlarmPresenter::columnShown(int devNum) const {
    for (const Instrument &i : m_instruments)
        if (i.devNum == devNum && !i.column.isEmpty())
            return i.column.first()->styleSheet().endsWith(kAlarmStyle);
    return false;
}

void AlarmPresenter::paintColumn(const Instrument &instrument) {
    const bool alarm = instrument.watch->alarmActive();
    for (QLabel *label : instrument.column) {
        QString style = label->styleSheet();
        const bool shown = style.endsWith(kAlarmStyle);
        if (alarm == shown) continue;
        if (alarm)
            style += kAlarmStyle;
        else
            style.chop(kAlarmStyle.size());
        label->setStyleSheet(style);
    }
}

void AlarmPresenter::updateSound() {
    bool waiting = false;
    for (const Instrument &i : m_instruments)
        waiting = waiting || i.watch->alarmUnacknowledged();
    if (!waiting)
        m_repeat->stop();
    else if (!m_repeat->isActive())
        m_repeat->start();
}
