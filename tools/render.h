// `kadenzo render`: the complete engine over an audio file on a virtual
// clock, with no threads and no sleeping, writing every MIDI message the live
// engine would have sent.
#ifndef KADENZO_TOOLS_RENDER_H
#define KADENZO_TOOLS_RENDER_H

#include <string>
#include <vector>

#include "midioutput.h"

struct RenderSettings {
    double anti_delay = 0.0;  // seconds
    bool notes = false;       // bar, beat and tatum notes
    // When the MIDI clock is switched on (seconds of audio); the command
    // switches it on at 0, before the first estimate.
    double clock_on_at = 0.0;
};

struct RenderOutcome {
    std::vector<midioutput_record> messages;  // in the order sent, times in seconds
    double audio_seconds = 0.0;
    bool ok = false;
    std::string error;
};

// Runs the engine over mono 44100 Hz audio. Blocks of 128 samples reach the
// ticker's audio callback as soon as the virtual clock has passed their last
// sample, and one timer pass runs for every millisecond of virtual time (the
// waiting for the first estimate is checked every 500 ms), as the live
// engine's threads interleave when the analysis keeps up. The MIDI clock is
// switched on at clock_on_at (Start at the next beat) and phase output on, as
// in the application; notes only when asked for.
RenderOutcome render_engine(const std::vector<float>& mono, const RenderSettings& settings);

// Reads an audio file, mixes its channels to mono and converts it to 44100 Hz.
bool load_audio_mono_44100(const std::string& path, std::vector<float>* mono, std::string* error);

int run_render(int argc, char** argv);

#endif
