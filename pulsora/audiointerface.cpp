#include "audiointerface.h"

#include <fcntl.h>
#include <pa_jack.h>
#include <unistd.h>

#include <QDebug>
#include <algorithm>
#include <cstdio>
#include <thread>

#include "qtempomind.h"

namespace {

// The client name PortAudio gives JACK; must outlive PortAudio's use of it.
QByteArray& jackClientName() {
    static QByteArray name;
    return name;
}

// Seconds without a single block after which a started stream counts as gone.
constexpr double kStallSeconds = 2.0;
// The offset between PortAudio's stream time and the sample clock is a
// running mean over the first blocks, then an exponential average over about
// this many blocks (90 ms): it smooths the jitter of callback time stamps,
// follows the drift of a sound card clock against the system clock, and
// soon takes up the jump of a dropout (frames the host skipped), after which
// the audio, and so the music, comes that much later.
constexpr double kClockAveragingBlocks = 32.0;

}  // namespace

void AudioInterface::setJackClientName(const QByteArray& name) {
    jackClientName() = name;
}

namespace {
bool quietProbing = false;
}  // namespace

void AudioInterface::setQuietProbing(bool quiet) {
    quietProbing = quiet;
}

AudioInterface::AudioInterface(QTempomind* facade_, TempoMind_t* engine_)
    : facade(facade_), engine(engine_), nameList(new QList<QString>) {
    if (!jackClientName().isEmpty()) PaJack_SetClientName(jackClientName().constData());
    // Standard error is closed to the probing only: a failure is still
    // reported below.
    int savedError = -1;
    if (quietProbing) {
        std::fflush(stderr);
        savedError = dup(STDERR_FILENO);
        const int nowhere = open("/dev/null", O_WRONLY);
        if (savedError >= 0 && nowhere >= 0) dup2(nowhere, STDERR_FILENO);
        if (nowhere >= 0) close(nowhere);
    }
    const PaError err = Pa_Initialize();
    if (savedError >= 0) {
        std::fflush(stderr);
        dup2(savedError, STDERR_FILENO);
        close(savedError);
    }
    portAudioReady = err == paNoError;
    if (!portAudioReady) {
        qWarning().noquote() << "Audio: PortAudio could not start:" << Pa_GetErrorText(err);
    }
    InitializeDeviceList();
    firstSelection = true;
}

AudioInterface::~AudioInterface() {
    closeStream();
    // A stream left behind by a vanished device cannot be closed (PortAudio
    // would wait for it for ever), and neither can PortAudio itself.
    if (portAudioReady && !streamAbandoned) Pa_Terminate();
}

void AudioInterface::InitializeDeviceList() {
    const int count = portAudioReady ? std::max(0, static_cast<int>(Pa_GetDeviceCount())) : 0;
    defaultDevice = portAudioReady ? Pa_GetDefaultInputDevice() : paNoDevice;
    deviceNumbers.clear();
    deviceNames.clear();
    if (!stream) {
        channelSelection.reset();
        channelCount = 0;
    }
    currentIndex = 0;
    if (defaultDevice == paNoDevice) return;

    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info) continue;
        std::printf("Audio device #%d: %s (%d in %d out) %s\n", i, info->name,
                    info->maxInputChannels, info->maxOutputChannels,
                    i == defaultDevice ? "<default>" : "");
        if (info->maxInputChannels > 0) {
            // Until a device is selected, the current index is the default
            // input device's place in the list.
            if (i == defaultDevice) currentIndex = static_cast<int>(deviceNumbers.size());
            deviceNames.push_back(QString::fromLocal8Bit(info->name));
            deviceNumbers.push_back(i);
        }
    }
    std::fflush(stdout);
}

QList<QString>* AudioInterface::getAudioDevList() {
    nameList->clear();
    for (const QString& name : deviceNames) nameList->append(name);
    return nameList.get();
}

int AudioInterface::getAudioDevIndex() const {
    return currentIndex;
}

int AudioInterface::getInputChannelAmount(int index) const {
    if (index < 0 || index >= static_cast<int>(deviceNumbers.size())) return 0;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(deviceNumbers[index]);
    return info ? info->maxInputChannels : 0;
}

std::vector<unsigned char> AudioInterface::getCurrentChannels() const {
    std::vector<unsigned char> flags(channelCount);
    for (int c = 0; c < channelCount; ++c) flags[c] = channelSelection[c].load();
    return flags;
}

bool AudioInterface::toggleChannel(int channel, int value) {
    if (channel < 0 || channel >= channelCount) return false;
    channelSelection[channel].store(static_cast<unsigned char>(value));
    return true;
}

int AudioInterface::fail(const QString& message) {
    errorText = message;
    reportAudioFailure(facade, message);
    return -1;
}

int AudioInterface::selectAudioDev(int index) {
    if (deviceNumbers.empty()) return fail(QStringLiteral("No audio input device available."));
    if (index < 0 || index >= static_cast<int>(deviceNumbers.size())) {
        return fail(QStringLiteral("There is no audio input device number %1 (devices 0 to %2).")
                        .arg(index)
                        .arg(deviceNumbers.size() - 1));
    }
    const PaDeviceInfo* info = Pa_GetDeviceInfo(deviceNumbers[index]);
    if (!info || info->maxInputChannels < 1) {
        return fail(QStringLiteral("The audio device \"%1\" is no longer available.")
                        .arg(deviceNames[index]));
    }
    errorText.clear();

    // The stream always stops before the engine does, so that no block is
    // inside a closing sequencer.
    closeStream();
    if (!firstSelection && facade) facade->StopTempomind();

    channelCount = info->maxInputChannels;
    channelSelection.reset(new std::atomic<unsigned char>[channelCount]);
    for (int c = 0; c < channelCount; ++c) channelSelection[c].store(c == 0 ? 1 : 0);
    selectedChannels.assign(channelCount, 0);
    resetClock();

    inputParameters.device = deviceNumbers[index];
    inputParameters.channelCount = channelCount;
    inputParameters.sampleFormat = paFloat32;
    inputParameters.suggestedLatency = info->defaultLowInputLatency;
    inputParameters.hostApiSpecificStreamInfo = nullptr;

    PaStream* opened = nullptr;
    const PaError openError = Pa_OpenStream(&opened, &inputParameters, nullptr, SampleRate,
                                            FramesPerBuffer, paClipOff, &streamCallback, this);
    if (openError == paNoError) {
        std::lock_guard<std::mutex> hold(streamLock);
        stream = opened;
        callbackStream = opened;
        attachEngine();
    }
    currentIndex = index;

    // The engine runs whether or not the device opened: it keeps answering
    // the window and the MIDI port stays usable.
    if (engine) {
        if (firstSelection) {
            tm_start_sequencer(engine);
        } else if (facade) {
            facade->RunTempomind();
        }
        tm_register_gettime_cb(engine, this, &AudioInterface::GetStreamTime);
    }
    firstSelection = false;

    int result = 0;
    if (openError != paNoError) {
        result =
            fail(QStringLiteral("Could not open the audio device \"%1\": %2")
                     .arg(deviceNames[index], QString::fromLocal8Bit(Pa_GetErrorText(openError))));
    } else {
        const PaError startError = StartStream();
        if (startError != paNoError) {
            closeStream();
            result = fail(
                QStringLiteral("Could not start the audio device \"%1\": %2")
                    .arg(deviceNames[index], QString::fromLocal8Bit(Pa_GetErrorText(startError))));
        }
    }

    if (engine && facade) {
        tm_enable_midiclock(engine, facade->getMidiClockEnabled());
        tm_enable_midinote(engine, facade->getMidiNoteEnabled());
        tm_enable_midiphase(engine, facade->getSendPhase());
    }
    return result;
}

int AudioInterface::StartStream() {
    if (!stream) return paBadStreamPtr;
    const PaError err = Pa_StartStream(stream);
    if (err == paNoError) {
        streamStarted = true;
        lastProgress = std::chrono::steady_clock::now();
        blocksAtLastCheck = blockCount.load();
        stallReported = false;
    }
    return err;
}

int AudioInterface::StopStream() {
    if (!stream) return paBadStreamPtr;
    streamStarted = false;
    if (stallReported) return paNoError;  // gone with its device: stopping would hang
    return Pa_StopStream(stream);
}

void AudioInterface::detachEngine() {
    deliverTo.store(nullptr);
    // The callback announces itself before it reads deliverTo (both
    // sequentially consistent), so once the count is seen at zero no
    // callback can still deliver to the engine. A callback never blocks, so
    // the wait is short.
    while (callbacksInside.load() != 0) std::this_thread::yield();
}

void AudioInterface::attachEngine() {
    deliverTo.store(engine);
}

void AudioInterface::closeStream() {
    detachEngine();
    streamTime();  // the value the clock keeps from here on
    PaStream* closing = nullptr;
    {
        std::lock_guard<std::mutex> hold(streamLock);
        closing = stream;
        stream = nullptr;  // the clock holds its last value from here on
    }
    if (!closing) return;
    streamStarted = false;
    if (stallReported) {
        // The device went away under the running stream: PortAudio would
        // wait for its callback for ever, so the stream is left behind.
        streamAbandoned = true;
        return;
    }
    if (Pa_IsStreamActive(closing) == 1) Pa_StopStream(closing);
    Pa_CloseStream(closing);
}

void AudioInterface::resetClock() {
    framesDelivered = 0;
    offsetSamples = 0;
    clockRunning.store(false);
    clockOffset.store(0.0);
    lastClock.store(0.0);
    blockCount.store(0);
    blocksAtLastCheck = 0;
    stallReported = false;
}

double AudioInterface::GetStreamTime(void* self) {
    return static_cast<AudioInterface*>(self)->streamTime();
}

double AudioInterface::streamTime() {
    double now = lastClock.load();
    if (clockRunning.load()) {
        std::lock_guard<std::mutex> hold(streamLock);
        if (stream) {
            const PaTime paNow = Pa_GetStreamTime(stream);
            if (paNow != 0.0) now = paNow - clockOffset.load();
        }
    }
    // Several threads read the clock; none of them may see it go back.
    double previous = lastClock.load();
    while (now > previous && !lastClock.compare_exchange_weak(previous, now)) {
    }
    return std::max(now, previous);
}

int AudioInterface::streamCallback(const void* input, void*, unsigned long frames,
                                   const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags,
                                   void* self) {
    auto* audio = static_cast<AudioInterface*>(self);
    audio->callbacksInside.fetch_add(1);
    audio->processInput(static_cast<const float*>(input), frames, timeInfo);
    audio->callbacksInside.fetch_sub(1);
    return paContinue;
}

void AudioInterface::processInput(const float* input, unsigned long frames,
                                  const PaStreamCallbackTimeInfo* timeInfo) {
    const double rate = SampleRate;
    // Where this block's first sample lies on PortAudio's stream time, and
    // from it the stream time of frame 0.
    double blockStart = 0.0;
    if (timeInfo && timeInfo->inputBufferAdcTime != 0.0) {
        blockStart = timeInfo->inputBufferAdcTime;
    } else {
        PaTime now = timeInfo ? timeInfo->currentTime : 0.0;
        if (now == 0.0) now = Pa_GetStreamTime(callbackStream);
        blockStart = now - frames / rate;
    }
    const double offset = blockStart - static_cast<double>(framesDelivered) / rate;
    ++offsetSamples;
    if (!clockRunning.load(std::memory_order_relaxed)) {
        clockOffset.store(offset);
        clockRunning.store(true);
    } else {
        const double weight =
            std::max(1.0 / static_cast<double>(offsetSamples), 1.0 / kClockAveragingBlocks);
        const double current = clockOffset.load(std::memory_order_relaxed);
        clockOffset.store(current + weight * (offset - current));
    }
    blockCount.fetch_add(1);

    TempoMind_t* const target = deliverTo.load();
    if (target) {
        int selectedCount = 0;
        for (int c = 0; c < channelCount; ++c) {
            if (channelSelection[c].load(std::memory_order_relaxed) == 1) {
                selectedChannels[selectedCount++] = c;
            }
        }
        for (unsigned long done = 0; done < frames; done += MonoBufferFrames) {
            const unsigned long piece = std::min<unsigned long>(MonoBufferFrames, frames - done);
            if (input) {
                mixToMono(input + done * channelCount, piece, channelCount, selectedChannels.data(),
                          selectedCount, monoBuffer);
            } else {
                std::fill(monoBuffer, monoBuffer + piece, 0.0f);
            }
            tm_process_audio(monoBuffer, piece, target,
                             static_cast<double>(framesDelivered + done) / rate);
        }
    }
    framesDelivered += frames;
}

void AudioInterface::mixToMono(const float* interleaved, unsigned long frames, int channelCount,
                               const int* selected, int selectedCount, float* mono) {
    for (unsigned long i = 0; i < frames; ++i) {
        if (selectedCount == 0) {
            mono[i] = 0.0f;
            continue;
        }
        const float* frame = interleaved + i * channelCount;
        float sum = 0.0f;
        for (int k = 0; k < selectedCount; ++k) sum += frame[selected[k]];
        mono[i] = sum / static_cast<float>(selectedCount);
    }
}

bool AudioInterface::streamUsesJack() const {
    if (!stream) return false;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(inputParameters.device);
    const PaHostApiInfo* host = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
    return host && host->type == paJACK;
}

void AudioInterface::declareInputLost(const QString& message) {
    if (!stream || stallReported) return;
    stallReported = true;
    fail(message);
}

void AudioInterface::checkInputHealth() {
    if (!stream || !streamStarted) return;
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t blocks = blockCount.load();
    if (blocks != blocksAtLastCheck) {
        blocksAtLastCheck = blocks;
        lastProgress = now;
        if (stallReported) {
            stallReported = false;
            qInfo().noquote() << "Audio: input from" << deviceNames[currentIndex] << "is back.";
        }
        return;
    }
    const double silentFor = std::chrono::duration<double>(now - lastProgress).count();
    if (!stallReported && silentFor >= kStallSeconds) {
        stallReported = true;
        fail(QStringLiteral("The audio device \"%1\" stopped delivering audio (disconnected?).")
                 .arg(deviceNames[currentIndex]));
    }
}
