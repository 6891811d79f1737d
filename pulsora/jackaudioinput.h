// The window's audio input on a JACK server: Kadenzo's own JACK client
// (jackclient.h), so that the engine clock is the client's frame count and
// the engine's MIDI goes out through the client's port, each message at the
// frame of its time stamp. The sources are the JACK clients that offer
// audio (physical ones first); a source's channels are its output ports.
#ifndef PULSORA_JACKAUDIOINPUT_H
#define PULSORA_JACKAUDIOINPUT_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "audioinput.h"
#include "jackclient.h"
#include "tempomind.h"

class QTempomind;

class JackAudioInput : public AudioInput {
  public:
    // Opens the client and makes it the MIDI path of the engines created
    // from now on. Null with a one-line reason (no server, another rate).
    static std::unique_ptr<JackAudioInput> open(const char* clientName, std::string* problem);
    ~JackAudioInput() override;
    JackAudioInput(const JackAudioInput&) = delete;
    JackAudioInput& operator=(const JackAudioInput&) = delete;

    // Either may be null (nothing reported, nothing fed).
    void attach(QTempomind* facade, TempoMind_t* engine) override;

    QList<QString>* getAudioDevList() override;
    int getAudioDevIndex() const override { return currentIndex; }
    int getInputChannelAmount(int index) const override;
    std::vector<unsigned char> getCurrentChannels() const override { return channels; }
    bool toggleChannel(int channel, int value) override;
    int selectAudioDev(int index) override;
    void closeStream() override;
    bool streamUsesJack() const override { return true; }
    bool inputLost() const override;
    QString lastError() const override { return errorText; }
    void declareInputLost(const QString& message) override;
    void checkInputHealth() override;

    JackEngineClient& client() { return *jack; }

  private:
    JackAudioInput() = default;
    void refreshSources();
    int fail(const QString& message);

    std::unique_ptr<JackEngineClient> jack;
    QTempomind* facade = nullptr;
    TempoMind_t* engine = nullptr;
    std::vector<JackEngineClient::Source> sources;  // as last listed
    QList<QString> names;
    QString currentName;  // the open source
    int currentIndex = 0;
    std::vector<unsigned char> channels;
    bool engineStarted = false;
    bool declaredLost = false;     // by the owner (declareInputLost)
    bool problemReported = false;  // the client's problem, reported once
    bool sourceGone = false;       // the open source's client closed, reported once
    std::chrono::steady_clock::time_point lastSourceCheck;
    QString errorText;
};

#endif
