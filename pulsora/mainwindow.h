// MainWindow: the application's only permanent window. It owns the engine
// facade, restores and saves the user's settings, selects the audio and MIDI
// devices at start-up, switches the MIDI clock off while the input stays
// below the silence threshold ("Stop on silence"), and carries the
// performer's controls (tap, tempo factors, nudge, bar 1, hold, reset, with
// keyboard shortcuts) and the text of the corrections in force.
#ifndef PULSORA_MAINWINDOW_H
#define PULSORA_MAINWINDOW_H

#include <QMainWindow>
#include <memory>

class NomusicDialog;
class QTempomind;

namespace Ui {
class MainWindow1D;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // Takes ownership of the facade, which must have been started (init()).
    explicit MainWindow(QTempomind* facade, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Written by the silence dialog.
    void setSilenceThreshold(double decibels) { silenceThreshold = decibels; }
    void setSilenceRelease(double updates) { silenceRelease = updates; }
    double getSilenceThreshold() const { return silenceThreshold; }
    double getSilenceRelease() const { return silenceRelease; }
    bool getStopOnSilence() const { return stopOnSilence; }
    int getSilenceCount() const { return silenceCount; }
    // The phase-output value read from the settings store (written back at close).
    bool getSendPhase() const { return sendPhase; }
    NomusicDialog* silenceDialog() const { return nomusicDialog; }

  public slots:
    void on_nonMusicCheck_clicked();
    void on_silenceSettingsButton_clicked();
    void on_midiClockResetButton_clicked();
    void on_midiClockEnable_stateChanged(int state);
    void launchSettings();
    void launchAbout();
    void bpmChange(double bpm);
    // One update of the non-beatyness value (the input level, dB): the
    // stop-on-silence rule.
    void nonbeatynessChange(double nbt);
    void on_tempoButton_pressed();
    void on_robustSlider_sliderMoved(int position);
    void on_robustSlider_valueChanged(int value);
    // Shows a failure of the audio input in the status text.
    void showAudioError(const QString& message);
    // A switched-on clock shows "online" with a steady beat, "no steady
    // beat" while it waits for one.
    void showSteadyBeat(bool steady);

    // The performer's controls; a tap counts when the button goes down.
    void on_tapButton_pressed();
    void on_barOneButton_clicked();
    void on_holdButton_toggled(bool on);
    void on_nudgeEarlierButton_clicked();
    void on_nudgeLaterButton_clicked();
    void on_doubleButton_clicked();
    void on_halfButton_clicked();
    void on_threeHalvesButton_clicked();
    void on_twoThirdsButton_clicked();
    void on_resetCorrectionsButton_clicked();
    void on_startOnBarCheck_toggled(bool on);
    // The text of the corrections in force, under the buttons.
    void showCorrections();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void readSettings();
    void writeSettings();
    void buildMenus();
    void buildShortcuts();
    void applyTempoMode(int mode);
    void showHalfLife(int value);
    void setStatusText(const QString& text);
    QString onlineText() const;
    // Opens the default input in place of a stored device that is gone.
    void fallbackAudioDevice(const QString& storedName, bool clockOn);

    bool stopOnSilence = false;
    bool previousStopOnSilence = false;
    double silenceThreshold = -35.0;
    double silenceRelease = 0.0;
    bool sendPhase = false;
    int tempoPresses = 0;
    bool closing = false;
    std::unique_ptr<Ui::MainWindow1D> ui;
    int silenceCount = 0;
    QTempomind* facade;
    NomusicDialog* nomusicDialog = nullptr;
    // Set while the default input stands in for a stored device that is
    // gone: why, for the status text's tool tip.
    QString fallbackNote;
    bool steadyBeat = true;
};

#endif
