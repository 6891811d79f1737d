// NomusicDialog: the settings of "Stop on silence". Its threshold slider and
// release dial write straight into the main window that owns it, and its
// rmsvalue meter shows the live non-beatyness value (set by the window).
#ifndef PULSORA_NOMUSICDIALOG_H
#define PULSORA_NOMUSICDIALOG_H

#include <QDialog>
#include <memory>

namespace Ui {
class NomusicDialog;
}

class NomusicDialog : public QDialog {
    Q_OBJECT

  public:
    explicit NomusicDialog(QWidget* parent = nullptr);
    ~NomusicDialog() override;

  private slots:
    void on_dial_valueChanged(int value);
    void on_horizontalSlider_valueChanged(int value);
    void on_closeButton_clicked();

  private:
    std::unique_ptr<Ui::NomusicDialog> ui;
};

#endif
