// Which audio and MIDI system the window runs on: chosen in File > Settings,
// kept as Pulsora/AudioSystem ("auto", "jack" or "portaudio") and taken at
// the next start. Automatic means Kadenzo's own JACK client when a JACK
// server runs (the clock then goes out at the exact frame of every tick),
// PortAudio and RtMidi otherwise.
#ifndef PULSORA_AUDIOSYSTEM_H
#define PULSORA_AUDIOSYSTEM_H

#include <QString>
#include <memory>

class JackAudioInput;

enum class AudioSystem { Automatic, Jack, PortAudio };

AudioSystem storedAudioSystem();
void storeAudioSystem(AudioSystem system);

// The JACK input the system calls for: null when it calls for PortAudio
// (problem left empty) or when JACK was wanted and could not be opened
// (problem says why).
std::unique_ptr<JackAudioInput> openJackInputFor(AudioSystem system, QString* problem);

#endif
