// Meter: the block-style level bar of the main window (input level) and of
// the silence dialog (live non-beatyness). A progress bar whose painting is
// replaced by a row of blue blocks, one per 6 pixels of width.
#ifndef PULSORA_METER_H
#define PULSORA_METER_H

#include <QProgressBar>

class Meter : public QProgressBar {
    Q_OBJECT

  public:
    explicit Meter(QWidget* parent = nullptr);

    // Blocks painted for the current range, value and width.
    int blockCount() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

#endif
