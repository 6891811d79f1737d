// QTempomind: the application's engine facade. It starts and closes the
// engine, owns the audio input (AudioInterface, or JackAudioInput on a JACK
// server), polls the engine every 30 ms on the GUI thread and re-publishes
// phases, beats, the input level and the
// non-beatyness value as Qt signals, and forwards the commands of the main
// window and the settings dialogs to the engine.
#ifndef PULSORA_QTEMPOMIND_H
#define PULSORA_QTEMPOMIND_H

#include <QList>
#include <QObject>
#include <QString>
#include <cstdio>
#include <memory>

#include "tempomind.h"

class AudioInput;
class AudioInterface;
class QTimer;

class QTempomind : public QObject {
    Q_OBJECT

  public:
    // The same numbers as MeterLevelID.
    enum MeterLevel { Bar = 0, Beat = 1, Tatum = 2 };
    Q_ENUM(MeterLevel)

    QTempomind();
    ~QTempomind() override;

    // Starts the engine on a MIDI port (-1: port 0) and creates the audio
    // interface (also when the engine failed, so that the devices are
    // listed). False when the engine could not start; TEMPOMIND_ERROR_STATUS
    // then says why.
    // Without portAudio no audio interface is made: the caller feeds the
    // engine itself (`kadenzo live` on its JACK client). An input given to
    // useAudioInput before takes the PortAudio interface's place.
    bool init(int midiPort = -1,
              meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic,
              bool portAudio = true);
    // Before init(): the audio input is this one (owned from here on), for
    // example JackAudioInput, whose client then carries the engine's MIDI.
    void useAudioInput(std::unique_ptr<AudioInput> input);

    // The PortAudio interface, owned by the facade; null before init() and
    // when the input is on JACK.
    AudioInterface* audioInterface() const;
    // The engine handle; null before init() or when the engine failed.
    TempoMind_t* engineHandle() const { return engine; }

    // Used by the audio device switch: close the engine's ticker and
    // sequencer, and start new ones (fresh tracker).
    void StopTempomind();
    void RunTempomind();

    void setSendPhase(int on);
    int getSendPhase() const { return sendPhase; }
    bool getMidiClockEnabled() const { return midiClockEnabled; }
    bool getMidiNoteEnabled() const { return midiNoteEnabled; }

    // True when the port could be opened.
    bool selectMidiDev(int port);
    // Opens a MIDI port of its own called name (others connect to it), in
    // place of the open one; it is listed last. True when it could be made.
    bool openOwnMidiPort(const QString& name);
    // The name of the port of its own that is open; empty when none is.
    QString ownMidiPort() const { return ownPort; }
    // The open MIDI port, -1 when none is open.
    int getMidiDevIndex();
    // A new list of the MIDI output port names, in port order; the caller owns it.
    QList<QString>* getMidiDevList();

    void changeHalfTime(double seconds);
    // Period-prior medians in seconds: bar, beat, tatum.
    void changeMyyValues(double bar, double beat, double tatum);
    // The tracking model of the engine from its next start (the audio
    // interface restarts the engine when the input is chosen again).
    void setTrackingModel(meterTracker::TrackingModel model);
    meterTracker::TrackingModel trackingModel() const;
    // The engine's prediction log (see tm_set_prediction_log); not owned.
    void setPredictionLog(std::FILE* log);
    double GetAntiDelay();
    void SetAntiDelay(double seconds);

    // The performer's corrections (tap, tempo factor, nudge, bar 1, hold,
    // reset), each at the engine-clock time of the call, which is the press.
    void tap();
    // numerator / denominator: 2/1, 1/2, 3/2, 2/3.
    void tempoFactor(int numerator, int denominator);
    void nudge(double milliseconds);  // positive: later
    void barOne();
    void setHold(bool on);
    bool holding() const;
    void resetCorrections();
    // The clock's Start waits for the next bar start instead of the next beat.
    void setStartOnBar(bool on);
    // The corrections in force ("tap, x2, nudge +10 ms"), empty when none.
    QString corrections() const;
    // Ableton Link and OSC beside the MIDI clock (tempomind.h). The getters
    // give what was last accepted, for the settings store.
    void setLinkEnabled(bool on);
    bool linkEnabled() const { return link; }
    // An empty target switches OSC off. False, with the reason in *error,
    // when the target or the prefix is not valid: OSC then stays as it was.
    bool setOsc(const QString& target, const QString& prefix, QString* error);
    QString oscTarget() const { return osc_target; }
    QString oscPrefix() const { return osc_prefix; }

    // kind 0 sends Note On, any other kind Control Change; at once, on the caller's thread.
    void SendMidiMsg(int kind, int channel, int number, int value);
    // The callback runs on the engine's timer thread with the level's full phase.
    void RegisterPhaseCallback(MeterLevelID level, void* user,
                               void (*cb)(void* user, double fullPhase));
    void UnregisterPhaseCallback(void* user);

    // How often startProcessing polls: 30 ms (a window's meters) unless set
    // before; a program without meters polls less often.
    void setPollInterval(int milliseconds) { pollMilliseconds = milliseconds; }

    // Reports a failure of the audio input: a log line, and audioError for
    // the window. Called by the audio interface on the GUI thread.
    void reportAudioError(const QString& message);
    // The last message given to reportAudioError (empty when none yet).
    QString lastAudioError() const { return audioErrorText; }

  signals:
    void nonBeatynessChange(double nbt);
    void bpmChange(double bpm);
    void bar(bool blink);
    void beat(bool blink);
    void tatum(bool blink);
    void barPhase(double phase);
    void beatPhase(double phase);
    void tatumPhase(double phase);
    void barFullPhase(double phase);
    void beatFullPhase(double phase);
    void tatumFullPhase(double phase);
    void audioLevelChange(int db);
    // Whether the engine is confident of a steady beat (the clock's Start
    // waits for one); emitted at the first poll and on every change.
    void steadyBeatChange(bool steady);
    // The audio input failed to open or start, or stopped delivering audio
    // (a device that went away); the text is meant for the user.
    void audioError(const QString& message);


  public slots:
    // Polls the engine at the poll interval.
    void startProcessing();
    void stopProcessing();
    // One poll; emits the signals above.
    void updateOutputs();
    void enableMidiClockOutput(int enabled);
    void enableMidiNoteOutput(int enabled);
    // Sounds the test note of a level; values other than Bar, Beat, Tatum do nothing.
    void sendMidiTestNote(MeterLevel lvl);

  public:
    // Owned; created by init(). Public for the window and the dialogs.
    AudioInput* audio = nullptr;

  private:
    int sendPhase = 0;
    std::unique_ptr<AudioInput> givenInput;  // until init() adopts it
    QString ownPort;  // the port of its own that is open, if any
    TempoMind_t* engine = nullptr;
    bool midiClockEnabled = false;
    bool midiNoteEnabled = false;
    double nonBeatyness = 0.0;
    double lastNonBeatyness = 0.0;
    int lastSteadyBeat = -1;  // none emitted yet
    double previousBarPhase = 0.0;
    double previousBeatPhase = 0.0;
    double previousTatumPhase = 0.0;
    QTimer* pollTimer = nullptr;
    int pollMilliseconds = 30;
    QString audioErrorText;
    bool link = false;
    QString osc_target;
    QString osc_prefix = QStringLiteral("/kadenzo");
};

// An audio input's failure: the facade's reportAudioError, or a log line
// when the input has no facade.
void reportAudioFailure(QTempomind* facade, const QString& message);

#endif
