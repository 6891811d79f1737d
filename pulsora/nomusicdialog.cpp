#include "nomusicdialog.h"

#include "mainwindow.h"
#include "ui_nomusicdialog.h"

NomusicDialog::NomusicDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::NomusicDialog>()) {
    ui->setupUi(this);
}

NomusicDialog::~NomusicDialog() = default;

// The dialog does not read the window's values: its own positions change
// them only when the user moves a control.
void NomusicDialog::on_dial_valueChanged(int value) {
    if (auto* window = qobject_cast<MainWindow*>(parentWidget()))
        window->setSilenceRelease(static_cast<double>(value));
    ui->dial->setToolTip(QString::number(value));
}

void NomusicDialog::on_horizontalSlider_valueChanged(int value) {
    ui->decibelLabel->setText(QString::number(value) + QStringLiteral(" dB"));
    if (auto* window = qobject_cast<MainWindow*>(parentWidget()))
        window->setSilenceThreshold(static_cast<double>(value));
}

void NomusicDialog::on_closeButton_clicked() {
    close();
}
