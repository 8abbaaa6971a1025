// Asks what to do with the two-point measurement on the map: clear it, pick point 1, pick point 2,
// or leave. The choice is read with getResult() after exec() returns.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class DistanceDialog;
}

class DistanceDialog : public QDialog {
    Q_OBJECT

public:
    enum Result { None = 0, Clear = 1, Point1 = 2, Point2 = 3 };

    explicit DistanceDialog(QWidget *parent = nullptr);
    ~DistanceDialog() override;

    int getResult() const { return result; }

private slots:
    void on_btn_clear_clicked();
    void on_btn_point1_clicked();
    void on_btn_point2_clicked();
    void on_btn_exit_clicked();

private:
    void choose(Result chosen);

    std::unique_ptr<Ui::DistanceDialog> m_ui;
    int result = None;
};
