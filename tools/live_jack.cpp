#include "live_jack.h"

#include <cstdio>

#include "jack_engine_feed.h"
#include "midioutput.h"

std::unique_ptr<LiveJackInput> LiveJackInput::open(const std::string& ownPort,
                                                   std::string* problem) {
    std::unique_ptr<JackEngineClient> client = JackEngineClient::open("kadenzo", problem);
    if (!client) return nullptr;
    std::unique_ptr<LiveJackInput> input(new LiveJackInput);
    input->client_ = std::move(client);
    midioutput_live_config config;
    config.jack = input->client_.get();
    config.own_port = ownPort;
    midioutput_set_live_config(config);
    return input;
}

LiveJackInput::~LiveJackInput() {
    stop();
    midioutput_set_live_config(midioutput_live_config());
}

std::vector<std::string> LiveJackInput::sourceNames() const {
    std::vector<std::string> names;
    for (const JackEngineClient::Source& source : client_->audio_sources()) {
        names.push_back(source.name);
    }
    return names;
}

bool LiveJackInput::selectSource(int index, const std::vector<int>& channels,
                                 std::string* problem) {
    const std::vector<JackEngineClient::Source> sources = client_->audio_sources();
    if (sources.empty()) {
        std::fprintf(stderr, "kadenzo live: no audio input device found; running without "
                             "audio input (no JACK client offers audio)\n");
        client_->set_inputs({}, problem);
        return true;
    }
    if (index < 0 || index >= static_cast<int>(sources.size())) index = 0;
    const JackEngineClient::Source& source = sources[index];
    std::printf("kadenzo live: audio input %d: %s (JACK)\n", index, source.name.c_str());
    if (!client_->set_inputs(source.ports, problem)) return false;
    if (channels.empty()) return true;
    client_->select_input(0, false);
    int mixed = 0;
    for (int channel : channels) {
        if (channel >= 1 && channel <= client_->input_count()) {
            client_->select_input(channel - 1, true);
            ++mixed;
        } else {
            std::fprintf(stderr,
                         "kadenzo live: the device has %d input channel(s); channel %d "
                         "ignored\n",
                         client_->input_count(), channel);
        }
    }
    if (mixed == 0) {
        std::fprintf(stderr, "kadenzo live: none of the channels exists; the input is silent\n");
    }
    return true;
}

void LiveJackInput::start(TempoMind_t* engine) {
    tm_start_sequencer(engine);
    jack_feed_engine(*client_, engine);
}

void LiveJackInput::stop() {
    if (client_) client_->stop_input();
}

void LiveJackInput::reportTrouble() const {
    const JackEngineClient& c = *client_;
    // A server that went has had its one line; these counts would only add noise.
    if (c.server_gone()) return;
    if (c.skipped_frames() == 0 && c.overlapped_cycles() == 0 && c.midi_late() == 0) return;
    std::fprintf(stderr,
                 "kadenzo live: JACK: in %llu cycles, %llu frames skipped by the server, %llu "
                 "cycles begun before the last ended, %llu MIDI messages late; a real-time "
                 "server (jackd -R) on a less loaded machine avoids this\n",
                 static_cast<unsigned long long>(c.cycles()),
                 static_cast<unsigned long long>(c.skipped_frames()),
                 static_cast<unsigned long long>(c.overlapped_cycles()),
                 static_cast<unsigned long long>(c.midi_late()));
}
