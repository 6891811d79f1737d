// `kadenzo render`: the complete engine over an audio file on a virtual
// clock, with no threads and no sleeping, writing every MIDI message the live
// engine would have sent.
//
// The render streams: audio is read in pieces and the messages leave as the
// virtual clock passes them, so that memory stays bounded for any length.
#ifndef KADENZO_TOOLS_RENDER_H
#define KADENZO_TOOLS_RENDER_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "controls.h"
#include "midioutput.h"
#include "outputsink.h"
#include "trackingModel.h"

struct RenderSettings {
    double anti_delay = 0.0;  // seconds
    bool notes = false;       // bar, beat and tatum notes
    // When the MIDI clock is switched on (seconds of audio); the command
    // switches it on at 0, before the first estimate.
    double clock_on_at = 0.0;
    // The engine's prediction log (not owned); null for none.
    std::FILE* prediction_log = nullptr;
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic;
    meterTracker::EnhancedStages stages;
    // The performer's controls, in order of time: each is pressed at its
    // time, after the audio up to it and before the timer pass of that
    // millisecond.
    std::vector<TimedControl> controls;
    // Output sinks besides MIDI (not owned), attached to the engine for the
    // render, e.g. an OSC log (oscsink.h).
    std::vector<output_sink*> sinks;
};

struct RenderOutcome {
    // render_engine only: every message with the engine-clock time it
    // belongs to, in order of time.
    std::vector<midioutput_record> messages;
    double audio_seconds = 0.0;
    bool ok = false;
    std::string error;
};

// Mono 44100 Hz audio in pieces: writes up to max samples to out and returns
// how many, 0 at the end, or -1 on an error (with its reason in error).
using RenderAudioSource = std::function<long(float* out, long max, std::string& error)>;
// Takes the messages sent since the last call, in order of their time
// stamps (seconds); false (with a reason in error) ends the render with that
// error.
using RenderMessageSink =
    std::function<bool(const std::vector<midioutput_record>& messages, std::string& error)>;

// Runs the engine over the audio of source. Blocks of 128 samples reach the
// ticker's audio callback as soon as the virtual clock has passed their last
// sample (the last block completed with silence), and one timer pass runs
// for every millisecond of virtual time (the waiting for the first estimate
// is checked every 500 ms), as the live engine's threads interleave when the
// analysis keeps up. The MIDI clock is switched on at clock_on_at (Start at
// the next beat) and phase output on, as in the application; notes only when
// asked for. At the end of the audio the clock is switched off (Stop), as a
// player that reaches the end of the music would. Messages go to sink in
// batches of about a second of virtual time.
RenderOutcome render_stream(const RenderAudioSource& source, const RenderMessageSink& sink,
                            const RenderSettings& settings);

// render_stream over audio in memory, every message kept in the outcome.
RenderOutcome render_engine(const std::vector<float>& mono, const RenderSettings& settings);

int run_render(int argc, char** argv);

#endif
