// The statistics of one instrument's survey, kept up to date while the dialog is open.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <memory>

class InstrumentWatch;
namespace Ui {
class StatisticsDialog;
}

class StatisticsDialog : public QDialog {
    Q_OBJECT

public:
    StatisticsDialog(const InstrumentWatch &watch, int devNum, QWidget *parent = nullptr);
    ~StatisticsDialog() override;

    void refresh();

private:
    std::unique_ptr<Ui::StatisticsDialog> m_ui;
    const InstrumentWatch &m_watch;
};
