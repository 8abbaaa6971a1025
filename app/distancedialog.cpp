#include "distancedialog.h"

#include "appresources.h"
#include "ui_distancedialog.h"

DistanceDialog::DistanceDialog(QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::DistanceDialog>()) {
    initAppResources();
    m_ui->setupUi(this);
}

DistanceDialog::~DistanceDialog() = default;

void DistanceDialog::choose(Result chosen) {
    result = chosen;
    accept();
}

void DistanceDialog::on_btn_clear_clicked() {
    choose(Clear);
}

void DistanceDialog::on_btn_point1_clicked() {
    choose(Point1);
}

void DistanceDialog::on_btn_point2_clicked() {
    choose(Point2);
}

void DistanceDialog::on_btn_exit_clicked() {
    reject();
}
