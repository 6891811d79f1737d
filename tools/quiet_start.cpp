#include "quiet_start.h"

#include <jack/jack.h>
#include <unistd.h>

#include <cstdio>

#include "audiointerface.h"

namespace {

void ignoreJackMessage(const char* /*message*/) {}
void printJackMessage(const char* message) {
    std::fprintf(stderr, "%s\n", message);
}

}  // namespace

void quietStartup(bool quiet) {
    jack_set_error_function(quiet ? ignoreJackMessage : printJackMessage);
    jack_set_info_function(quiet ? ignoreJackMessage : printJackMessage);
    AudioInterface::setQuietProbing(quiet);
}

std::string noMidiAdvice(bool jack) {
    if (jack) {
        return "no MIDI output port available: no JACK client takes MIDI; start a receiver, "
               "or make a port of Kadenzo's own with --midi-port new:NAME";
    }
    if (access("/dev/snd/seq", F_OK) != 0) {
        return "no JACK server is running and no ALSA sequencer exists: start JACK or "
               "PipeWire, or load snd-seq-dummy";
    }
    return "no MIDI output port available: connect a MIDI device or start a receiver, or "
           "make a port of Kadenzo's own with --midi-port new:NAME";
}
