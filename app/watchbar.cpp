#include "watchbar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "map/format.h"
#include "spectrumwidget.h"
#include "statisticsdialog.h"
#include "timelinewidget.h"

namespace {
const QColor kAlarmColour(230, 60, 60);

qint64 now() {
    return QDateTime::currentMSecsSinceEpoch();
}
}  // namespace

WatchBar::WatchBar(InstrumentWatch &watch, QWidget *panel, int devNum)
    : QWidget(panel), m_watch(watch), m_panel(panel), m_devNum(devNum) {
    setObjectName(QStringLiteral("watchBar"));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    auto *doseLabel = new QLabel(tr("Dose:"), this);
    m_dose = new QLineEdit(this);
    m_dose->setObjectName(QStringLiteral("lineEdit_dose"));
    m_dose->setReadOnly(true);
    m_dose->setFixedWidth(m_dose->fontMetrics().horizontalAdvance(QStringLiteral("9999.9 mGy__")));
    m_dose->setToolTip(
        tr("The dose of this panel's readings since the program started; a lost link "
           "or readings more than 5 s apart are left out"));
    doseLabel->setBuddy(m_dose);
    m_alarm = new QLabel(this);
    m_alarm->setObjectName(QStringLiteral("label_alarm"));
    // Takes the room left, never more: the row must not widen the window. The tooltip has it all.
    m_alarm->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Tool buttons: the row is as low as a line of text, so three panels fit a small screen.
    auto button = [this](const QString &text, const char *name) {
        auto *b = new QToolButton(this);
        b->setText(text);
        b->setObjectName(QLatin1String(name));
        return b;
    };
    m_acknowledge = button(tr("Acknowledge"), "btn_acknowledge");
    m_acknowledge->setAccessibleName(tr("Acknowledge the alarm"));
    auto *timeline = button(tr("Timeline"), "btn_timeline");
    auto *spectrum = button(tr("Spectrum"), "btn_spectrum");
    auto *statistics = button(tr("Statistics"), "btn_statistics");
    row->addWidget(doseLabel);
    row->addWidget(m_dose);
    row->addWidget(m_alarm, 1);
    row->addWidget(m_acknowledge);
    row->addWidget(timeline);
    row->addWidget(spectrum);
    row->addWidget(statistics);

    m_normalPalette = panel->palette();
    connect(m_acknowledge, &QToolButton::clicked, this, [this] { m_watch.acknowledge(now()); });
    connect(timeline, &QToolButton::clicked, this, &WatchBar::showTimeline);
    connect(spectrum, &QToolButton::clicked, this, &WatchBar::showSpectrum);
    connect(statistics, &QToolButton::clicked, this, &WatchBar::showStatistics);
    connect(&watch, &InstrumentWatch::readingsChanged, this, &WatchBar::refreshDose);
    connect(&watch, &InstrumentWatch::alarmChanged, this, &WatchBar::refreshAlarm);
    refreshDose();
    refreshAlarm();
}

void WatchBar::refreshDose() {
    if (m_watch.statistics().isEmpty()) {
        m_dose->setText(QStringLiteral("-"));
        return;
    }
    QString value, unit;
    formatDose(float(m_watch.statistics().dose().dose()), m_watch.doseUnit(), &value, &unit);
    m_dose->setText(value + QLatin1Char(' ') + unit);
}

void WatchBar::refreshAlarm() {
    // The row has room for which reading it is; the thresholds are in the tooltip.
    QStringList what, details;
    for (auto r : {InstrumentWatch::DoseRate, InstrumentWatch::CountRate}) {
        const AlarmMonitor &a = m_watch.alarm(r);
        if (!a.active()) continue;
        const bool dose = r == InstrumentWatch::DoseRate;
        what << (dose ? tr("dose rate") : tr("count rate"));
        details << (dose ? tr("dose rate above %1") : tr("count rate above %1"))
                       .arg(formatReading(a.threshold(), dose ? m_watch.doseUnit() : kCountRate));
    }
    m_alarmShown = !what.isEmpty();
    m_alarm->setText(m_alarmShown ? tr("ALARM: %1").arg(what.join(QStringLiteral(", ")))
                                  : QString());
    m_alarm->setToolTip(m_alarmShown ? tr("ALARM: %1").arg(details.join(QStringLiteral(", ")))
                                     : QString());
    m_acknowledge->setVisible(m_alarmShown);
    m_acknowledge->setEnabled(m_watch.alarmUnacknowledged());
    QPalette palette = m_normalPalette;
    if (m_alarmShown) palette.setColor(QPalette::Window, kAlarmColour);
    m_panel->setAutoFillBackground(m_alarmShown);
    m_panel->setPalette(palette);
}

QDialog *WatchBar::plotWindow(const QString &title, QWidget *controls, QWidget *plot) {
    auto *dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(title);
    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(controls);
    layout->addWidget(plot, 1);
    controls->setParent(dialog);
    plot->setParent(dialog);
    dialog->resize(700, 360);
    dialog->show();
    return dialog;
}

void WatchBar::showTimeline() {
    if (m_timeline) {
        m_timeline->window()->raise();
        return;
    }
    auto *reading = new QComboBox;
    reading->setAccessibleName(tr("Reading to plot"));
    reading->addItems({tr("Dose rate"), tr("Count rate")});
    m_timeline = new TimelineWidget(m_watch);
    connect(reading, &QComboBox::currentIndexChanged, m_timeline, [this](int index) {
        m_timeline->setReading(index == 1 ? InstrumentWatch::CountRate : InstrumentWatch::DoseRate);
    });
    connect(m_timeline, &TimelineWidget::picked, &m_watch, &InstrumentWatch::showOnMap);
    plotWindow(tr("Timeline of device %1").arg(m_devNum), reading, m_timeline);
}

void WatchBar::showSpectrum() {
    if (m_spectrum) {
        m_spectrum->window()->raise();
        return;
    }
    auto *logarithmic = new QCheckBox(tr("Logarithmic scale"));
    logarithmic->setObjectName(QStringLiteral("checkBox_logarithmic"));
    m_spectrum = new SpectrumWidget;
    m_spectrum->setSpectrum(m_watch.spectrum());
    connect(logarithmic, &QCheckBox::toggled, m_spectrum, &SpectrumWidget::setLogarithmic);
    connect(&m_watch, &InstrumentWatch::spectrumChanged, m_spectrum,
            [this] { m_spectrum->setSpectrum(m_watch.spectrum()); });
    plotWindow(tr("Spectrum of device %1").arg(m_devNum), logarithmic, m_spectrum);
}

void WatchBar::showStatistics() {
    StatisticsDialog dialog(m_watch, m_devNum, this);
    dialog.exec();
}
