// Stand-ins for the engine's tm_ interface and for PortAudio, linked into the
// desktop application's tests in place of the real ones: the facade and the
// audio interface run unchanged, while the tests choose the devices and
// ports that exist and read back every call the application made.
// Every function of tempomind.h has a stand-in in app_fake_engine.cpp: one
// missing would pull the real interface module in and clash at link time.
#ifndef KADENZO_TESTS_APP_FAKES_H
#define KADENZO_TESTS_APP_FAKES_H

#include <string>
#include <vector>

namespace fakes {

// One call into the engine, with its numeric arguments.
struct Call {
    std::string name;  // the tm_ function without its prefix, e.g. "change_half_time"
    std::vector<double> args;
};

struct Engine {
    // tm_init
    bool failInit = false;
    int failStatus = 3;
    // MIDI ports offered; tm_init opens port 0 when there is one.
    std::vector<std::string> midiPorts{"Port A", "Port B"};
    int currentMidi = -1;
    std::string ownPort;  // the name tm_open_own_mididev was last given
    // Values the queries answer.
    double antiDelay = 0.0;
    double inputLevel = -100.0;
    double nonBeatyness = 0.0;
    int steadyBeat = 1;  // tm_has_steady_beat
    double phases[3] = {1.0, 1.0, 1.0};
    int trackingModel = 0;  // 0 classic, 1 enhanced
    double engineTime = 0.0;  // tm_get_engine_time
    std::string corrections;  // tm_get_corrections
    bool holding = false;     // tm_get_hold, set by tm_hold
    bool startOnBar = false;  // tm_get_start_on_bar, set by tm_set_start_on_bar
    // Link and OSC as last set; tm_set_osc refuses a target without ':'
    // and a prefix without a leading '/'.
    bool link = false;
    std::string oscTarget, oscPrefix;

    std::vector<Call> calls;

    int count(const std::string& name) const;
    // The arguments of the last call of that name; empty when there was none.
    std::vector<double> last(const std::string& name) const;
    // The position of the last call of that name in calls, -1 when none.
    int lastIndex(const std::string& name) const;
};

struct AudioDevice {
    std::string name;
    int inputs;
    int outputs;
};

struct PortAudio {
    // Listed devices; the audio interface lists those with inputs.
    std::vector<AudioDevice> devices{
        {"Built-in Output", 0, 2}, {"Studio In", 2, 2}, {"Octa", 8, 0}};
    int defaultInput = 1;  // PortAudio device number, -1 for none
    bool failOpen = false;
    bool failStart = false;
    // Device number and channel count of every Pa_OpenStream.
    std::vector<int> openedDevices;
    std::vector<int> openedChannels;
    int openStreams = 0;  // opened and not yet closed
    int initialized = 0;  // Pa_Initialize minus Pa_Terminate
};

Engine& engine();
PortAudio& portaudio();
// Back to the defaults above, with no calls recorded.
void reset();

}  // namespace fakes

#endif
