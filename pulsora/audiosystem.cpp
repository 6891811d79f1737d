#include "audiosystem.h"

#include <QSettings>
#include <string>

#include "jackaudioinput.h"

namespace {

const char* const kOrganisation = "Orvane";
const char* const kApplication = "Pulsora";
const char* const kAudioSystemKey = "Pulsora/AudioSystem";

// The JACK client's name: its ports are "pulsora:in_0", "pulsora:midi_out".
const char* const kJackClientName = "pulsora";

}  // namespace

AudioSystem storedAudioSystem() {
    const QString stored = QSettings(kOrganisation, kApplication).value(kAudioSystemKey).toString();
    if (stored == QLatin1String("jack")) return AudioSystem::Jack;
    if (stored == QLatin1String("portaudio")) return AudioSystem::PortAudio;
    return AudioSystem::Automatic;  // also for a value this version does not know
}

void storeAudioSystem(AudioSystem system) {
    const char* value = system == AudioSystem::Jack        ? "jack"
                        : system == AudioSystem::PortAudio ? "portaudio"
                                                           : "auto";
    QSettings(kOrganisation, kApplication).setValue(kAudioSystemKey, QString::fromLatin1(value));
}

std::unique_ptr<JackAudioInput> openJackInputFor(AudioSystem system, QString* problem) {
    problem->clear();
    if (system == AudioSystem::PortAudio) return nullptr;
    if (system == AudioSystem::Automatic && !JackEngineClient::server_running()) return nullptr;
    std::string why;
    std::unique_ptr<JackAudioInput> input = JackAudioInput::open(kJackClientName, &why);
    if (!input) *problem = QString::fromStdString(why);
    return input;
}
