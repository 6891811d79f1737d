// What the window and the facade need of an audio input, whichever audio
// system carries it: a list of sources (devices, or JACK clients), the
// channels of the open one and which of them are mixed to mono, opening a
// source (which starts the engine on it), and the input's health.
// AudioInterface is the PortAudio input; JackAudioInput feeds the engine
// from Kadenzo's own JACK client. All calls belong to the GUI thread.
#ifndef PULSORA_AUDIOINPUT_H
#define PULSORA_AUDIOINPUT_H

#include <QList>
#include <QString>
#include <vector>

#include "tempomind.h"

class QTempomind;

class AudioInput {
  public:
    virtual ~AudioInput() = default;

    // An input made before the engine (given to QTempomind::useAudioInput)
    // learns here the facade it reports to and the engine it feeds, before
    // its first selectAudioDev.
    virtual void attach(QTempomind* /*facade*/, TempoMind_t* /*engine*/) {}

    // The names of the sources, in list order (owned by the input).
    virtual QList<QString>* getAudioDevList() = 0;
    // Index in the list of the open (or last chosen) source.
    virtual int getAudioDevIndex() const = 0;
    // Input channels of the listed source at that index (0 when there is none).
    virtual int getInputChannelAmount(int index) const = 0;
    // One flag per input channel of the open source, 1 = mixed in.
    virtual std::vector<unsigned char> getCurrentChannels() const = 0;
    // False for a channel the open source does not have.
    virtual bool toggleChannel(int channel, int value) = 0;
    // Opens the listed source at that index and (re)starts the engine on it:
    // 0, or -1 after reporting why (lastError and the facade's audioError).
    virtual int selectAudioDev(int index) = 0;
    // Ends delivery to the engine; the engine clock then holds its value.
    virtual void closeStream() = 0;
    // Whether the input belongs to a JACK server.
    virtual bool streamUsesJack() const = 0;
    // True once a started input stopped delivering audio.
    virtual bool inputLost() const = 0;
    virtual QString lastError() const = 0;
    // The owner knows the input is gone: reported once.
    virtual void declareInputLost(const QString& message) = 0;
    // From the facade's poll: notices an input that stopped, reports it once.
    virtual void checkInputHealth() = 0;
};

#endif
