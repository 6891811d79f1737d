// SettingsDialog: audio input device, MIDI output port, anti-latency, the
// channel list, the network outputs (Ableton Link, OSC) and the audio
// system. Every change applies at once (the audio system at the next
// start); there is nothing to confirm.
// Created anew for every opening and run modally.
#ifndef PULSORA_SETTINGSDIALOG_H
#define PULSORA_SETTINGSDIALOG_H

#include <QDialog>
#include <memory>

class AdvancedSettings;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QStandardItemModel;
class QTempomind;

namespace Ui {
class SettingsDialog;
}

class SettingsDialog : public QDialog {
    Q_OBJECT

  public:
    SettingsDialog(QTempomind* facade, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // Refills both device lists and their selections, as at construction.
    void RefreshDevices();

  public slots:
    // Switches the audio device and the MIDI port to the selected ones where
    // they differ from the open ones.
    void applyChanges();

  private slots:
    void on_audioDevSelect_currentIndexChanged(int index);
    void on_midiDevSelect_currentIndexChanged(int index);
    void on_latencySlider_valueChanged(int value);
    void on_channelButton_clicked();
    void on_latencyEdit_returnPressed();
    // A new tracking model restarts the engine with it.
    void on_trackingModelSelect_currentIndexChanged(int index);

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void fillDeviceLists();
    // Link and OSC, below the rest: Link switches with its box, OSC takes
    // its target and prefix when an edit is finished.
    void addNetworkOutputs();
    void applyOsc();
    // The audio system, below the network outputs: kept at once, taken at
    // the next start (audiosystem.h).
    void addAudioSystemChoice();
    // Room for rows below the form: the dialog and its frame grow, the
    // buttons move down.
    void growBy(int extra);

    std::unique_ptr<Ui::SettingsDialog> ui;
    QTempomind* facade;
    int selectedAudioIndex = 0;
    int selectedMidiIndex = 0;
    int createPortIndex = -1;  // the "create a port" entry of the MIDI list
    QStandardItemModel* itemModel = nullptr;
    AdvancedSettings* channelDialog = nullptr;
    QCheckBox* linkEnable = nullptr;
    QLineEdit* oscTargetEdit = nullptr;
    QLineEdit* oscPrefixEdit = nullptr;
    QLabel* oscStatus = nullptr;
    QComboBox* audioSystemSelect = nullptr;
    bool initialising = true;  // suppresses the change handlers while the lists are filled
};

#endif
