// The audio input of `kadenzo live` on a JACK server: Kadenzo's own JACK
// client (jackclient.h) takes a source's ports, mixes the chosen channels to
// mono and feeds the engine, whose clock is then the client's frame count;
// the engine's MIDI goes out through the same client (midioutput's JACK
// backend), each message at the frame of its time stamp.
#ifndef KADENZO_TOOLS_LIVE_JACK_H
#define KADENZO_TOOLS_LIVE_JACK_H

#include <memory>
#include <string>
#include <vector>

#include "jackclient.h"
#include "tempomind.h"

class LiveJackInput {
  public:
    // Opens the client "kadenzo" and makes it the MIDI path of the engines
    // created from now on (with a port of Kadenzo's own called ownPort when
    // it is not empty). Null with a one-line reason.
    static std::unique_ptr<LiveJackInput> open(const std::string& ownPort, std::string* problem);
    ~LiveJackInput();
    LiveJackInput(const LiveJackInput&) = delete;
    LiveJackInput& operator=(const LiveJackInput&) = delete;

    // The clients whose audio outputs can be followed, physical ones first.
    std::vector<std::string> sourceNames() const;
    // Connects to the source at that index (-1: the first) and mixes the
    // given channels (counted from 1; empty: channel 1). Prints the source
    // and every channel it does not have. False with a reason when the
    // source cannot be connected.
    bool selectSource(int index, const std::vector<int>& channels, std::string* problem);
    // Starts the engine's sequencer on the client's clock and delivers audio.
    void start(TempoMind_t* engine);
    // Ends delivery: no callback is inside the engine afterwards.
    void stop();

    // One line on stderr when the server skipped or overlapped cycles or a
    // MIDI message went out late: what to look at when the clock stumbled.
    // Nothing once the server has gone (that has its own line).
    void reportTrouble() const;

    JackEngineClient& client() { return *client_; }

  private:
    LiveJackInput() = default;

    std::unique_ptr<JackEngineClient> client_;
};

#endif
