#include "downloaddialog.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>

#include <algorithm>

#include "appresources.h"
#include "appsettings.h"
#include "device/commandqueue.h"
#include "device/m30protocol.h"
#include "ui_downloaddialog.h"

namespace {

constexpr int kMaxDays = 365;
constexpr int kMaxHours = 1000;

// The arrows act only in their own mode and only on a number. Both directions clamp, so a stored
// value outside the range comes back into it with the first press.
void stepValue(QLineEdit *edit, const QRadioButton *mode, int delta, int max) {
    if (!mode->isChecked()) return;
    bool ok = false;
    int value = edit->text().toInt(&ok, 10);
    if (!ok) return;
    edit->setText(QString::number(std::clamp<long long>(value + delta, 1, max)));
}

}  // namespace

DownloadDialog::DownloadDialog(QWidget *parent, std::shared_ptr<M30Protocol> protocol,
                               CommandQueue *commands, int devNum, const QString &serial)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::DownloadDialog>()),
      m_protocol(std::move(protocol)),
      m_commands(commands),
      m_devNum(devNum),
      m_serial(serial) {
    initAppResources();
    m_ui->setupUi(this);
    m_ui->progressBar->setValue(0);
    setState(State::Idle);
    restoreChoice();
}

DownloadDialog::~DownloadDialog() = default;

void DownloadDialog::restoreChoice() {
    const AppSettings settings;
    if (const std::optional<QString> days = settings.downloadDays())
        m_ui->edit_days->setText(*days);
    if (const std::optional<QString> hours = settings.downloadHours())
        m_ui->edit_hours->setText(*hours);
    switch (settings.downloadWindow()) {
        case static_cast<int>(SurveyWindow::All):
            m_ui->radioButton_all->setChecked(true);
            break;
        case static_cast<int>(SurveyWindow::Days):
            m_ui->radioButton_days->setChecked(true);
            break;
        case static_cast<int>(SurveyWindow::Hours):
            m_ui->radioButton_hours->setChecked(true);
            break;
        default:
            break;
    }
}

void DownloadDialog::saveChoice() {
    AppSettings settings;
    settings.setDownloadPeriod(m_days, m_hours, static_cast<int>(m_window));
    if (!settings.sync(nullptr))
        QMessageBox::critical(this, tr("Error"),
                              tr("The points were downloaded, but the chosen period could not be "
                                 "saved: the settings file is not writable."));
}

void DownloadDialog::setState(State state) {
    m_state = state;
    // A walk that ended takes back the record it asked for ahead: the one in flight is all that
    // still crosses the link.
    if (state != State::Downloading && m_commands) m_commands->cancel(this);
    m_ui->btn_start->setEnabled(state == State::Idle || state == State::Failed);
}

void DownloadDialog::on_btn_start_clicked() {
    if (m_state != State::Idle && m_state != State::Failed) return;
    m_ui->progressBar->setValue(0);
    bool daysRead = false, hoursRead = false;
    m_days = m_ui->edit_days->text().toInt(&daysRead, 10);  // 0 when it does not read
    m_hours = m_ui->edit_hours->text().toInt(&hoursRead, 10);
    m_window = m_ui->radioButton_hours->isChecked()  ? SurveyWindow::Hours
               : m_ui->radioButton_days->isChecked() ? SurveyWindow::Days
                                                     : SurveyWindow::All;
    // Checked before anything is transferred: a bad number would waste the list download.
    if ((m_window == SurveyWindow::Days && !daysRead) ||
        (m_window == SurveyWindow::Hours && !hoursRead))
        return fail(tr("Wrong value!"));
    ++m_attempt;
    setState(State::Downloading);
    readRecordList();
}

void DownloadDialog::readRecordList() {
    const QString failed = tr("Download survey indices failed!");
    if (!m_protocol || !m_commands) return fail(failed);
    auto read = [p = m_protocol] { return readSurveyList(*p); };
    m_commands->post(this, QString(), read, [this, failed](const SurveyList &list) {
        if (m_state != State::Downloading) return;  // cancelled meanwhile
        if (list.error != SurveyReadError::None) return fail(failed);
        m_walk.begin(list.ids, m_window, m_window == SurveyWindow::Hours ? m_hours : m_days,
                     QDateTime::currentDateTime());
        downloadNextRecord();
    });
}

void DownloadDialog::downloadNextRecord() {
    if (m_state != State::Downloading) return;
    if (m_walk.ended()) return finish();
    while (std::optional<int32_t> id = m_walk.next()) {
        auto read = [p = m_protocol, id = *id] { return readSurveyRecord(*p, id); };
        if (!m_commands ||
            !m_commands->post(this, QString(), read,
                              [this, id = *id, attempt = m_attempt](const SurveyRecordRead &r) {
                                  if (attempt == m_attempt) recordArrived(id, r);
                              }))
            return fail(tr("Download of survey record %1 failed!").arg(*id));
    }
}

void DownloadDialog::recordArrived(int32_t id, const SurveyRecordRead &read) {
    if (m_state != State::Downloading) return;  // cancelled while the record was on its way
    // A record that does not arrive, or arrives without its time, is an error the user sees: the
    // walk would otherwise end as if the window had been left, or go on past a lost link.
    if (read.error != SurveyReadError::None)
        return fail(tr("Download of survey record %1 failed!").arg(id));
    const SurveyRecord &record = read.record;
    if (!m_walk.take(record)) return finish();
    emit recordDownloaded(readingsOfRecord(record, id, m_devNum, m_serial));
    if (m_state != State::Downloading) return;  // a receiver closed the dialog
    m_ui->progressBar->setValue(static_cast<int>(m_walk.taken() * 100 / m_walk.total()));
    downloadNextRecord();
}

void DownloadDialog::finish() {
    m_ui->progressBar->setValue(100);
    setState(State::Done);
    saveChoice();
    accept();
}

void DownloadDialog::fail(const QString &message) {
    setState(State::Failed);
    QMessageBox::critical(this, tr("Error"), message);
}

void DownloadDialog::reject() {
    if (m_state != State::Done) setState(State::Cancelled);
    QDialog::reject();
}

void DownloadDialog::on_btn_cancel_clicked() {
    reject();
}

void DownloadDialog::on_btn_days_up_clicked() {
    stepValue(m_ui->edit_days, m_ui->radioButton_days, +1, kMaxDays);
}

void DownloadDialog::on_btn_days_down_clicked() {
    stepValue(m_ui->edit_days, m_ui->radioButton_days, -1, kMaxDays);
}

void DownloadDialog::on_btn_hours_up_clicked() {
    stepValue(m_ui->edit_hours, m_ui->radioButton_hours, +1, kMaxHours);
}

void DownloadDialog::on_btn_hours_down_clicked() {
    stepValue(m_ui->edit_hours, m_ui->radioButton_hours, -1, kMaxHours);
}
