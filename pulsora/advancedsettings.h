// AdvancedSettings: the input channels of the open audio device, one check
// box each; a change applies at once to the next audio block.
#ifndef PULSORA_ADVANCEDSETTINGS_H
#define PULSORA_ADVANCEDSETTINGS_H

#include <QDialog>
#include <memory>

class QTempomind;
class QTreeWidgetItem;

namespace Ui {
class AdvancedSettings;
}

class AdvancedSettings : public QDialog {
    Q_OBJECT

  public:
    AdvancedSettings(QTempomind* facade, QWidget* parent = nullptr);
    ~AdvancedSettings() override;

    // Refills the list from the channel selection of the open device.
    void SetSelectedAudioDevice(int index);

  private slots:
    void on_channelList_itemChanged(QTreeWidgetItem* item, int column);

  private:
    std::unique_ptr<Ui::AdvancedSettings> ui;
    QTempomind* facade;
    int audioDeviceIndex = 0;
    bool suppress = false;  // true while the list is filled by the program
};

#endif
