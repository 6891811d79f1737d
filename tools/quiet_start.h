// Quiet start-up for `kadenzo live`: the audio and MIDI libraries' own
// messages (JACK's "cannot connect to server", ALSA's probing through
// PortAudio) are silenced unless asked for, and Kadenzo says in one line
// what is missing and what to do.
#ifndef KADENZO_TOOLS_QUIET_START_H
#define KADENZO_TOOLS_QUIET_START_H

#include <string>

// quiet: JACK's error and information messages go nowhere, and PortAudio
// probes its devices with standard error closed; otherwise they are shown.
void quietStartup(bool quiet);

// The line to print when the engine found no MIDI output port; jack: the
// engine is on Kadenzo's own JACK client.
std::string noMidiAdvice(bool jack);

#endif
