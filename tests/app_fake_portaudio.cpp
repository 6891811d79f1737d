// PortAudio's functions as the audio interface uses them, answered from the
// device table in app_fakes.h; no sound system is touched.
#include <pa_jack.h>
#include <portaudio.h>

#include <deque>

#include "app_fakes.h"

namespace fakes {

namespace {
PortAudio& portAudioState() {
    static PortAudio state;
    return state;
}
// Stable storage for the PaDeviceInfo records handed out.
std::deque<PaDeviceInfo>& deviceInfos() {
    static std::deque<PaDeviceInfo> infos;
    return infos;
}
struct FakeStream {
    bool active = false;
};
}  // namespace

PortAudio& portaudio() {
    return portAudioState();
}

void reset() {
    engine() = Engine{};
    portaudio() = PortAudio{};
    deviceInfos().clear();
}

}  // namespace fakes

PaError PaJack_SetClientName(const char*) {
    return paNoError;
}

PaError Pa_Initialize(void) {
    ++fakes::portaudio().initialized;
    return paNoError;
}
PaError Pa_Terminate(void) {
    --fakes::portaudio().initialized;
    return paNoError;
}
const char* Pa_GetErrorText(PaError) {
    return "fake PortAudio error";
}

PaDeviceIndex Pa_GetDeviceCount(void) {
    return static_cast<PaDeviceIndex>(fakes::portaudio().devices.size());
}
PaDeviceIndex Pa_GetDefaultInputDevice(void) {
    const int device = fakes::portaudio().defaultInput;
    return device < 0 ? paNoDevice : device;
}
const PaDeviceInfo* Pa_GetDeviceInfo(PaDeviceIndex device) {
    const auto& devices = fakes::portaudio().devices;
    if (device < 0 || device >= static_cast<PaDeviceIndex>(devices.size())) return nullptr;
    PaDeviceInfo info{};
    info.structVersion = 2;
    info.name = devices[device].name.c_str();
    info.maxInputChannels = devices[device].inputs;
    info.maxOutputChannels = devices[device].outputs;
    info.defaultLowInputLatency = 0.005;
    info.defaultSampleRate = 44100.0;
    fakes::deviceInfos().push_back(info);
    return &fakes::deviceInfos().back();
}

PaError Pa_OpenStream(PaStream** stream, const PaStreamParameters* input, const PaStreamParameters*,
                      double, unsigned long, PaStreamFlags, PaStreamCallback*, void*) {
    fakes::PortAudio& pa = fakes::portaudio();
    pa.openedDevices.push_back(input ? input->device : -1);
    pa.openedChannels.push_back(input ? input->channelCount : 0);
    if (pa.failOpen) return paInvalidDevice;
    *stream = new fakes::FakeStream;
    ++pa.openStreams;
    return paNoError;
}
PaError Pa_CloseStream(PaStream* stream) {
    delete static_cast<fakes::FakeStream*>(stream);
    --fakes::portaudio().openStreams;
    return paNoError;
}
PaError Pa_StartStream(PaStream* stream) {
    if (fakes::portaudio().failStart) return paDeviceUnavailable;
    static_cast<fakes::FakeStream*>(stream)->active = true;
    return paNoError;
}
PaError Pa_StopStream(PaStream* stream) {
    static_cast<fakes::FakeStream*>(stream)->active = false;
    return paNoError;
}
PaError Pa_AbortStream(PaStream* stream) {
    return Pa_StopStream(stream);
}
PaError Pa_IsStreamActive(PaStream* stream) {
    return static_cast<fakes::FakeStream*>(stream)->active ? 1 : 0;
}
PaTime Pa_GetStreamTime(PaStream*) {
    return 0.0;
}
