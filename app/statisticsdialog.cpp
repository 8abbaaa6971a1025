#include "statisticsdialog.h"

#include <QDateTime>

#include "instrumentwatch.h"
#include "map/format.h"
#include "ui_statisticsdialog.h"

namespace {
QString duration(qint64 ms) {
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}
}  // namespace

StatisticsDialog::StatisticsDialog(const InstrumentWatch &watch, int devNum, QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::StatisticsDialog>()), m_watch(watch) {
    m_ui->setupUi(this);
    setWindowTitle(tr("Statistics of device %1").arg(devNum));
    connect(&watch, &InstrumentWatch::readingsChanged, this, &StatisticsDialog::refresh);
    refresh();
}

StatisticsDialog::~StatisticsDialog() = default;

void StatisticsDialog::refresh() {
    const SurveyStatistics &s = m_watch.statistics();
    const int unit = m_watch.doseUnit();
    const QString none = QStringLiteral("-");
    const bool any = !s.isEmpty();
    m_ui->edit_duration->setText(any ? duration(s.durationMs()) : none);
    m_ui->edit_distance->setText(tr("%1 m").arg(s.distanceMetres(), 0, 'f', 0));
    QString value, unitText;
    formatDose(float(s.dose().dose()), unit, &value, &unitText);
    m_ui->edit_dose->setText(any ? value + QLatin1Char(' ') + unitText : none);
    m_ui->edit_minimum->setText(any ? formatDoseRate(s.minDoseRate(), unit) : none);
    m_ui->edit_mean->setText(any ? formatDoseRate(s.meanDoseRate(), unit) : none);
    m_ui->edit_maximum->setText(any ? formatDoseRate(s.maxDoseRate(), unit) : none);
    const StatisticsReading &max = s.maximum();
    m_ui->edit_maximumWhen->setText(
        any ? QDateTime::fromMSecsSinceEpoch(max.timeMs).toString(QStringLiteral("HH:mm:ss"))
            : none);
    m_ui->edit_maximumWhere->setText(any && max.fix
                                         ? formatGpsCoords(max.latitude, 1) + QLatin1Char(' ') +
                                               formatGpsCoords(max.longitude, 0)
                                         : tr("no fix"));
    m_ui->edit_withFix->setText(QString::number(s.pointsWithFix()));
    m_ui->edit_withoutFix->setText(QString::number(s.pointsWithoutFix()));
    m_ui->edit_gaps->setText(tr("%n gap(s), %1 in all", nullptr, int(s.dose().gaps().size()))
                                 .arg(duration(s.dose().gapMs())));
}
