// AudioInterface owns the audio input: it initialises PortAudio, lists the
// input devices, opens and restarts the input stream when a device is
// picked, mixes the selected input channels down to one channel and hands
// every block to the engine together with the stream clock, which it also
// installs as the engine's time source.
//
// The engine clock is the stream's sample clock: seconds since the stream's
// first sample, in double precision. Blocks are stamped with the time of
// their first sample (frames delivered so far / 44100); GetStreamTime reads
// PortAudio's stream time, mapped onto the same axis by an offset the audio
// callback keeps up to date (so that host APIs with any time origin, and a
// sound card clock that drifts against the system clock, give one consistent
// clock).
#ifndef PULSORA_AUDIOINTERFACE_H
#define PULSORA_AUDIOINTERFACE_H

#include <portaudio.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "audioinput.h"
#include "tempomind.h"

class QTempomind;

class AudioInterface : public AudioInput {
  public:
    enum {
        SampleRate = 44100,
        FramesPerBuffer = 128,
        MonoBufferFrames = 512,  // larger host blocks are handed on in pieces of this size
    };

    // Initialises PortAudio and lists the input devices. The engine may be
    // null (blocks are then dropped).
    AudioInterface(QTempomind* facade, TempoMind_t* engine);
    // Stops and closes the stream, terminates PortAudio.
    ~AudioInterface() override;

    AudioInterface(const AudioInterface&) = delete;
    AudioInterface& operator=(const AudioInterface&) = delete;

    // Names the JACK client PortAudio creates (ports "<name>:in_0", ...).
    // Takes effect for interfaces created afterwards.
    static void setJackClientName(const QByteArray& name);
    // quiet: PortAudio probes its host APIs (ALSA prints dozens of lines when
    // there is no sound card) with standard error sent nowhere. For
    // interfaces created afterwards.
    static void setQuietProbing(bool quiet);

    // Re-reads PortAudio's device list (a snapshot taken when PortAudio was
    // initialised) and prints one line per device to standard output.
    void InitializeDeviceList();
    // The names of the input devices, in list order (owned by this object).
    QList<QString>* getAudioDevList() override;
    // Index in the device list of the open (or last chosen) device.
    int getAudioDevIndex() const override;
    // Input channels of the listed device at that index (0 when there is none).
    int getInputChannelAmount(int index) const override;
    // The channel selection of the open device: one flag per input channel,
    // 1 = mixed in.
    std::vector<unsigned char> getCurrentChannels() const override;
    // Sets the selection flag of a channel of the open device; channels
    // beyond the device are ignored (false returned).
    bool toggleChannel(int channel, int value) override;

    // Opens the listed device at that index and (re)starts the engine on it.
    // Returns 0 on success; -1 when the index is not in the list or the
    // stream could not be opened or started, after reporting why (log line
    // and the facade's audioError). After a failure no stream is open and
    // the engine receives no audio.
    int selectAudioDev(int index) override;

    // Pa_StartStream / Pa_StopStream of the open stream; 0 or a PortAudio error code.
    int StartStream();
    int StopStream();
    // Stops and closes the stream, if one is open. The clock then holds its
    // last value, so the engine may still read it until it is closed.
    void closeStream() override;
    bool isStreamOpen() const { return stream != nullptr; }
    // Whether the open stream's device belongs to a JACK server.
    bool streamUsesJack() const override;
    // True once a started stream stopped delivering audio (a device or audio
    // server that went away), until audio comes back.
    bool inputLost() const override { return stallReported || streamAbandoned; }

    // The engine's time source: seconds since the stream's first sample
    // (0.0 before it). Safe on any thread; never goes backwards.
    static double GetStreamTime(void* self);

    // The reason of the last failure (empty when the last selection worked).
    QString lastError() const override { return errorText; }
    // Blocks delivered by the stream since it was opened.
    std::uint64_t blocksDelivered() const { return blockCount.load(); }
    // The owner knows the input is gone (its audio server went away): the
    // stream is given up as checkInputHealth would after its wait, and the
    // failure reported once.
    void declareInputLost(const QString& message) override;
    // Called on the GUI thread from the facade's poll: notices a running
    // stream that stopped delivering audio (a device that went away) and
    // reports it once; reports again when audio comes back.
    void checkInputHealth() override;

    // Averages the selected channels of an interleaved block into mono:
    // each sample is the mean of the channels listed in selected (in the
    // given order), 0.0 when the list is empty.
    static void mixToMono(const float* interleaved, unsigned long frames, int channelCount,
                          const int* selected, int selectedCount, float* mono);

  private:
    static int streamCallback(const void* input, void* output, unsigned long frames,
                              const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags flags,
                              void* self);
    void processInput(const float* input, unsigned long frames,
                      const PaStreamCallbackTimeInfo* timeInfo);
    void resetClock();
    double streamTime();
    int fail(const QString& message);

    // Ends the callback's deliveries to the engine and waits until no
    // callback is inside the engine any more: from then on the engine may be
    // stopped or closed even when the stream itself cannot be (a vanished
    // device). attachEngine lets a new stream's blocks through again.
    void detachEngine();
    void attachEngine();

    int channelCount = 0;
    QTempomind* facade;
    TempoMind_t* engine;
    // What the callback delivers to: the engine while a stream is open and
    // attached, null otherwise; callbacksInside counts callbacks under way.
    std::atomic<TempoMind_t*> deliverTo{nullptr};
    std::atomic<int> callbacksInside{0};
    // One flag per input channel, written on the GUI thread, read by the callback.
    std::unique_ptr<std::atomic<unsigned char>[]> channelSelection;
    std::vector<int> selectedChannels;  // the callback's scratch list, sized at open
    float monoBuffer[MonoBufferFrames] = {};
    PaStream* stream = nullptr;          // null when no stream is open
    PaStream* callbackStream = nullptr;  // the open stream as the callback sees it
    PaStreamParameters inputParameters = {};
    int defaultDevice = paNoDevice;
    int currentIndex = 0;
    std::vector<int> deviceNumbers;
    std::vector<QString> deviceNames;
    std::unique_ptr<QList<QString>> nameList;
    bool firstSelection = true;
    bool portAudioReady = false;
    QString errorText;

    // The stream clock. The callback owns framesDelivered and the offset
    // estimate; readers see the offset through atomics. streamLock keeps
    // the stream from being closed while GetStreamTime reads it.
    std::mutex streamLock;
    std::uint64_t framesDelivered = 0;
    std::uint64_t offsetSamples = 0;
    std::atomic<bool> clockRunning{false};
    std::atomic<double> clockOffset{0.0};  // PortAudio stream time of frame 0
    std::atomic<double> lastClock{0.0};    // keeps the clock monotonic
    std::atomic<std::uint64_t> blockCount{0};

    // The input watchdog (GUI thread).
    bool streamStarted = false;
    bool stallReported = false;
    bool streamAbandoned = false;  // a stream of a vanished device, never closed
    std::uint64_t blocksAtLastCheck = 0;
    std::chrono::steady_clock::time_point lastProgress;
};

#endif
