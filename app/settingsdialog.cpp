#include "settingsdialog.h"

#include <QColorDialog>
#include <QFileDialog>

#include <cmath>

#include "appresources.h"
#include "appsettings.h"
#include "scalefactor.h"
#include "ui_settingsdialog.h"

namespace {

void showColor(QLabel *label, const QColor &c) {
    label->setStyleSheet(
        QStringLiteral("background:rgb(%1,%2,%3)").arg(c.red()).arg(c.green()).arg(c.blue()));
}

// A threshold that does not read as a finite number counts as 0.
double readThreshold(const QString &text) {
    bool ok = false;
    double value = text.toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

}  // namespace

SettingsDialog::SettingsDialog(const QString &mapDir, const QString &picDir, double trackRadius,
                               int scaleFactor, const QList<double> &values,
                               const QList<QColor> &colors, int mapPoints, QWidget *parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::SettingsDialog>()),
      m_colors(colors),
      m_values(values),
      m_trackRadius(trackRadius),
      m_mapDir(mapDir),
      m_picDir(picDir),
      m_scaleFactor(scaleFactor),
      m_mapPoints(mapPoints) {
    initAppResources();
    m_ui->setupUi(this);
    // Rows the caller left out start white, so every row's colour can be chosen and returned.
    m_colors = m_colors.mid(0, kRows);
    while (m_colors.size() < kRows)
        m_colors.append(QColor(255, 255, 255));
    m_chosenColors = m_colors;
    const QList<QLineEdit *> edits = {m_ui->edit_color1, m_ui->edit_color2, m_ui->edit_color3,
                                      m_ui->edit_color4, m_ui->edit_color5};
    for (int row = 0; row < kRows; ++row) {
        if (row < colors.size()) showColor(swatch(row), colors[row]);
        if (row < values.size())
            edits[row]->setText(QStringLiteral("%1").arg(values[row], 0, 'g', 6));
    }
    m_ui->edit_map->setText(mapDir);
    m_ui->edit_pic_dir->setText(picDir);
    // A radius of 0 would draw no point at all; the top is the widget's own.
    m_ui->spinBox_radius->setRange(0.1, 100.0);
    m_ui->spinBox_radius->setValue(trackRadius);
    // The same range the start-up reads, so Ok never cuts down a stored scale.
    m_ui->spinBox_font->setRange(kMinScaleFactor, kMaxScaleFactor);
    m_ui->spinBox_font->setValue(scaleFactor);
    // The alarm thresholds the dialog keeps itself at "Ok"; the window applies them after.
    const AppSettings::AlarmThresholds alarms = AppSettings().alarmThresholds();
    m_ui->spinBox_doseRateAlarm->setValue(alarms.doseRate);
    m_ui->spinBox_countRateAlarm->setValue(alarms.countRate);
    m_ui->comboBox->setCurrentIndex(mapPoints);
    // The panels read these themselves when they need them: the dialog keeps them directly.
    const AppSettings settings;
    m_ui->checkBox_reconnectLast->setChecked(settings.reconnectLastInstruments());
    m_ui->spinBox_reconnectAttempts->setValue(settings.reconnectAttempts());
}

SettingsDialog::~SettingsDialog() = default;

QLabel *SettingsDialog::swatch(int row) const {
    const QList<QLabel *> labels = {m_ui->label_color1, m_ui->label_color2, m_ui->label_color3,
                                    m_ui->label_color4, m_ui->label_color5};
    return labels[row];
}

void SettingsDialog::chooseColor(int row) {
    QColor start = m_chosenColors[row];
    if (!start.isValid()) start = QColor(1, 0, 0);
    QColor chosen = QColorDialog::getColor(start, this, tr("Choose a color"));
    // A cancelled choice comes back invalid: the row keeps its colour.
    if (!chosen.isValid()) return;
    m_chosenColors[row] = chosen;
    showColor(swatch(row), chosen);
}

void SettingsDialog::on_btn_map_clicked() {
    QString file = QFileDialog::getOpenFileName(this, tr("Open Directory"), m_ui->edit_map->text(),
                                                tr("Images (*.jpg *.png);;All files (*.*)"));
    if (!file.isEmpty()) m_ui->edit_map->setText(file);
}

void SettingsDialog::on_btn_color1_clicked() {
    chooseColor(0);
}

void SettingsDialog::on_btn_color2_clicked() {
    chooseColor(1);
}

void SettingsDialog::on_btn_color3_clicked() {
    chooseColor(2);
}

void SettingsDialog::on_btn_color4_clicked() {
    chooseColor(3);
}

void SettingsDialog::on_btn_color5_clicked() {
    chooseColor(4);
}

void SettingsDialog::on_btn_ok_clicked() {
    m_trackRadius = m_ui->spinBox_radius->value();
    m_picDir = m_ui->edit_pic_dir->text();
    m_mapDir = m_ui->edit_map->text();
    m_scaleFactor = m_ui->spinBox_font->value();
    m_values = {readThreshold(m_ui->edit_color1->text()), readThreshold(m_ui->edit_color2->text()),
                readThreshold(m_ui->edit_color3->text()), readThreshold(m_ui->edit_color4->text()),
                readThreshold(m_ui->edit_color5->text())};
    AppSettings().setAlarmThresholds(
        {m_ui->spinBox_doseRateAlarm->value(), m_ui->spinBox_countRateAlarm->value()});
    m_colors = m_chosenColors;
    m_mapPoints = m_ui->comboBox->currentIndex();
    AppSettings settings;
    settings.setReconnectLastInstruments(m_ui->checkBox_reconnectLast->isChecked());
    settings.setReconnectAttempts(m_ui->spinBox_reconnectAttempts->value());
    accept();
}

void SettingsDialog::on_btn_cancel_clicked() {
    reject();
}

void SettingsDialog::on_btn_pic_clicked() {
    QString dir = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), m_ui->edit_pic_dir->text(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!dir.isEmpty()) m_ui->edit_pic_dir->setText(dir);
}

void SettingsDialog::on_btn_clearGpsData_clicked() {
    emit clearGpsDataOnMap();
}
