// Reads the survey records stored in an M30, newest first, and emits every stored point that has
// a GPS fix as addMapPoint, the signal live readings use. The user chooses how far back: the last
// N days, the last N hours, or everything; the walk ends at the first record older than that.
//
// GUI thread only. Every transfer runs on the instrument's command thread, one record per command,
// and its result comes back queued: the window keeps answering, and Cancel stops the walk once the
// record in flight has come back or timed out.
#pragma once

#include <QDateTime>
#include <QDialog>
#include <QPointer>

#include <cstdint>
#include <memory>

#include "device/surveywalk.h"
#include "survey/surveyreading.h"

class CommandQueue;
class M30Protocol;
namespace Ui {
class DownloadDialog;
}

class DownloadDialog : public QDialog {
    Q_OBJECT

public:
    enum class State {
        Idle,         // Start enabled
        Downloading,  // Start disabled, one record per command
        Cancelled,    // rejected; nothing saved, the points already emitted stay
        Done,         // accepted; the choice saved
        Failed,       // an error was shown; Start enabled again
    };

    // `commands`: the instrument's command queue, which runs the transfers; `devNum` and
    // `serial` name the instrument in the readings.
    DownloadDialog(QWidget *parent, std::shared_ptr<M30Protocol> protocol, CommandQueue *commands,
                   int devNum, const QString &serial = QString());
    ~DownloadDialog() override;

    State state() const { return m_state; }

public slots:
    // Closing the dialog in any way ends a running download before its next record.
    void reject() override;

signals:
    // One stored record, whole, as readings carrying its id and the record's time: receivers
    // journal it and draw it once, however often it is downloaded.
    void recordDownloaded(const std::vector<SurveyReading> &readings);

private slots:
    void on_btn_start_clicked();
    void on_btn_cancel_clicked();
    void on_btn_days_up_clicked();
    void on_btn_days_down_clicked();
    void on_btn_hours_up_clicked();
    void on_btn_hours_down_clicked();

private:
    void restoreChoice();
    void saveChoice();
    void readRecordList();
    void downloadNextRecord();
    void recordArrived(int32_t id, const SurveyRecordRead &read);
    void finish();
    void fail(const QString &message);
    void setState(State state);

    std::unique_ptr<Ui::DownloadDialog> m_ui;
    std::shared_ptr<M30Protocol> m_protocol;
    QPointer<CommandQueue> m_commands;
    int m_devNum;
    QString m_serial;
    State m_state = State::Idle;

    // The window chosen at Start, and the walk over the records, which remembers the records
    // delivered so that a retry after a failure skips them.
    SurveyWindow m_window = SurveyWindow::All;
    int m_days = 0, m_hours = 0;
    SurveyWalk m_walk;
    // Counts the Starts: a record still in flight from a failed attempt is not the retry's.
    unsigned m_attempt = 0;
};
