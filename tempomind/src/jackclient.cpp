#include "jackclient.h"

#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// How far ahead of its time a message must be queued beyond one period: the
// scheduling delays of a busy machine.
const double kLeadMarginSeconds = 0.005;

// The 64-bit frame clock from JACK's 32-bit one, near a known 64-bit frame.
std::int64_t extend_frame(jack_nframes_t frame, std::int64_t near) {
    const auto low = static_cast<std::uint32_t>(near);
    return near + static_cast<std::int32_t>(static_cast<std::uint32_t>(frame) - low);
}

std::string client_of(const std::string& port) {
    const std::size_t colon = port.find(':');
    return colon == std::string::npos ? port : port.substr(0, colon);
}

std::vector<std::string> port_list(jack_client_t* client, const char* type, unsigned long flags) {
    std::vector<std::string> names;
    const char** found = jack_get_ports(client, nullptr, type, flags);
    for (int i = 0; found && found[i]; ++i) names.emplace_back(found[i]);
    if (found) jack_free(found);
    return names;
}

}  // namespace

std::unique_ptr<JackEngineClient> JackEngineClient::open(const char* client_name,
                                                         std::string* problem) {
    jack_status_t status = static_cast<jack_status_t>(0);
    jack_client_t* client = jack_client_open(client_name, JackNoStartServer, &status);
    if (!client) {
        if (problem) *problem = "no JACK server is running";
        return nullptr;
    }
    const jack_nframes_t rate = jack_get_sample_rate(client);
    if (rate != kEngineRate) {
        jack_client_close(client);
        if (problem) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "the JACK server runs at %u Hz, Kadenzo needs 44100 Hz: start it with "
                          "-r 44100 (or set PipeWire's clock rate to 44100)",
                          static_cast<unsigned>(rate));
            *problem = text;
        }
        return nullptr;
    }
    std::unique_ptr<JackEngineClient> self(new JackEngineClient);
    self->client_ = client;
    self->period_.store(jack_get_buffer_size(client));
    jack_set_process_callback(client, &JackEngineClient::on_process, self.get());
    jack_on_info_shutdown(client, &JackEngineClient::on_shutdown, self.get());
    jack_set_buffer_size_callback(client, &JackEngineClient::on_buffer_size, self.get());
    jack_set_sample_rate_callback(client, &JackEngineClient::on_sample_rate, self.get());
    self->midi_out_ =
        jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!self->midi_out_ || jack_activate(client) != 0) {
        if (problem) *problem = "the JACK server refused Kadenzo's client or its MIDI port";
        return nullptr;  // the destructor closes the client
    }
    return self;
}

bool JackEngineClient::server_running() {
    jack_status_t status = static_cast<jack_status_t>(0);
    jack_client_t* probe = jack_client_open("kadenzo-probe", JackNoStartServer, &status);
    if (!probe) return false;
    jack_client_close(probe);
    return true;
}

JackEngineClient::~JackEngineClient() {
    if (!client_) return;
    // After the server went the client can only be closed.
    if (!server_gone()) {
        flush_midi(midi_lead_seconds() + 0.1);
        jack_deactivate(client_);
    }
    closeJackClient(client_);
}

// ---- Audio input -------------------------------------------------------------

std::vector<JackEngineClient::Source> JackEngineClient::audio_sources() const {
    std::vector<Source> physical, others;
    if (server_gone()) return physical;
    const std::string self = jack_get_client_name(client_);
    for (const std::string& port : port_list(client_, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput)) {
        const std::string owner = client_of(port);
        if (owner == self) continue;
        jack_port_t* handle = jack_port_by_name(client_, port.c_str());
        const bool is_physical = handle && (jack_port_flags(handle) & JackPortIsPhysical);
        std::vector<Source>& list = is_physical ? physical : others;
        auto found = std::find_if(list.begin(), list.end(),
                                  [&](const Source& s) { return s.name == owner; });
        if (found == list.end()) {
            list.push_back({owner, {}});
            found = list.end() - 1;
        }
        found->ports.push_back(port);
    }
    physical.insert(physical.end(), others.begin(), others.end());
    return physical;
}

bool JackEngineClient::set_inputs(const std::vector<std::string>& ports, std::string* problem) {
    stop_input();
    if (server_gone()) {
        if (problem) *problem = "the JACK server is gone";
        return false;
    }
    const int count = std::min<int>(static_cast<int>(ports.size()), kMaxInputs);
    for (int k = 0; k < kMaxInputs; ++k) {
        if (!inputs_[k]) continue;
        jack_port_disconnect(client_, inputs_[k]);
        if (k >= count) {
            jack_port_unregister(client_, inputs_[k]);
            inputs_[k] = nullptr;
        }
    }
    bool ok = true;
    for (int k = 0; k < count; ++k) {
        if (!inputs_[k]) {
            const std::string name = "in_" + std::to_string(k);
            inputs_[k] = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsInput, 0);
        }
        if (!inputs_[k]) {
            if (problem) *problem = "the JACK server refused an input port";
            ok = false;
            break;
        }
        const int result = jack_connect(client_, ports[k].c_str(), jack_port_name(inputs_[k]));
        if (result != 0 && result != EEXIST && problem && ok) {
            *problem = "could not connect " + ports[k];
        }
    }
    for (int k = 0; k < kMaxInputs; ++k) selected_[k].store(k == 0 ? 1 : 0);
    int made = 0;
    while (made < kMaxInputs && inputs_[made]) ++made;
    input_count_.store(std::min(made, count), std::memory_order_release);
    return ok;
}

void JackEngineClient::select_input(int channel, bool selected) {
    if (channel >= 0 && channel < kMaxInputs) selected_[channel].store(selected ? 1 : 0);
}

bool JackEngineClient::input_selected(int channel) const {
    return channel >= 0 && channel < kMaxInputs && selected_[channel].load() == 1;
}

void JackEngineClient::start_input(AudioSink audio, GapSink gap, void* user) {
    stop_input();
    audio_sink_.store(audio);
    gap_sink_.store(gap);
    sink_user_.store(user);
    last_time_.store(0.0);
    origin_.store(kNoFrame, std::memory_order_release);
    restart_origin_.store(true);
    deliver_.store(true);
}

void JackEngineClient::stop_input() {
    deliver_.store(false);
    // The callback announces itself before it reads deliver_ (both
    // sequentially consistent): once the count is seen at zero no callback
    // is inside a sink. A callback never blocks, so the wait is short.
    while (inside_.load() != 0) std::this_thread::yield();
}

// ---- Clock ---------------------------------------------------------------------

std::int64_t JackEngineClient::frame_now() const {
    const jack_nframes_t now = jack_frame_time(client_);
    const std::int64_t near = cycle_frame_.load(std::memory_order_acquire);
    return near == kNoFrame ? static_cast<std::int64_t>(now) : extend_frame(now, near);
}

double JackEngineClient::engine_time() const {
    const std::int64_t origin = origin_.load(std::memory_order_acquire);
    double now = last_time_.load();
    if (origin != kNoFrame && !server_gone()) {
        const double t = static_cast<double>(frame_now() - origin) / kEngineRate;
        double previous = now;
        while (t > previous && !last_time_.compare_exchange_weak(previous, t)) {
        }
        now = std::max(t, previous);
    }
    return now;
}

// ---- MIDI output ---------------------------------------------------------------

bool JackEngineClient::queue_midi(const unsigned char* bytes, int length, double time_s) {
    if (!bytes || length < 1 || length > 3 || server_gone()) return false;
    midiqueue_message message;
    const std::int64_t origin = origin_.load(std::memory_order_acquire);
    message.frame = std::isnan(time_s) || origin == kNoFrame
                        ? MIDIQUEUE_NOW
                        : origin + std::llround(time_s * kEngineRate);
    message.size = static_cast<std::uint8_t>(length);
    std::memcpy(message.bytes, bytes, static_cast<std::size_t>(length));
    return queue_.push(message);
}

double JackEngineClient::midi_lead_seconds() const {
    return static_cast<double>(period_.load(std::memory_order_relaxed)) / kEngineRate +
           kLeadMarginSeconds;
}

void JackEngineClient::flush_midi(double max_seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(max_seconds);
    while (queue_.size() > 0 && !server_gone() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<std::string> JackEngineClient::midi_destinations() const {
    std::vector<std::string> names;
    if (server_gone()) return names;
    const std::string self = jack_get_client_name(client_);
    for (const std::string& port : port_list(client_, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
        if (client_of(port) != self) names.push_back(port);
    }
    return names;
}

bool JackEngineClient::connect_midi(const std::string& port, std::string* problem) {
    if (server_gone()) {
        if (problem) *problem = "the JACK server is gone";
        return false;
    }
    disconnect_midi();
    const int result = jack_connect(client_, jack_port_name(midi_out_), port.c_str());
    if (result == 0 || result == EEXIST) return true;
    if (problem) *problem = "could not connect to " + port;
    return false;
}

void JackEngineClient::disconnect_midi() {
    if (!server_gone()) jack_port_disconnect(client_, midi_out_);
}

bool JackEngineClient::rename_midi_port(const std::string& name, std::string* problem) {
    if (server_gone()) {
        if (problem) *problem = "the JACK server is gone";
        return false;
    }
    if (jack_port_short_name(midi_out_) == name) return true;
    if (jack_port_rename(client_, midi_out_, name.c_str()) == 0) return true;
    if (problem) *problem = "the JACK server refused the port name " + name;
    return false;
}

std::string JackEngineClient::midi_port_name() const {
    return jack_port_name(midi_out_);
}

// ---- Health --------------------------------------------------------------------

std::string JackEngineClient::problem() const {
    if (server_gone()) {
        const std::string why = shutdown_.reason();
        return why.empty() ? std::string("the JACK server stopped")
                           : "the JACK server stopped (" + why + ")";
    }
    const std::uint32_t rate = wrong_rate_.load();
    if (rate != 0) {
        return "the JACK server changed its sample rate to " + std::to_string(rate) +
               " Hz; Kadenzo needs 44100 Hz";
    }
    return std::string();
}

// ---- Callbacks -----------------------------------------------------------------

int JackEngineClient::on_process(jack_nframes_t nframes, void* self) {
    static_cast<JackEngineClient*>(self)->process(nframes);
    return 0;
}

void JackEngineClient::on_shutdown(jack_status_t /*code*/, const char* reason, void* user) {
    static_cast<JackEngineClient*>(user)->shutdown_.record(reason);
}

int JackEngineClient::on_buffer_size(jack_nframes_t nframes, void* self) {
    static_cast<JackEngineClient*>(self)->period_.store(nframes);
    return 0;
}

int JackEngineClient::on_sample_rate(jack_nframes_t rate, void* self) {
    static_cast<JackEngineClient*>(self)->wrong_rate_.store(rate == kEngineRate ? 0 : rate);
    return 0;
}

void JackEngineClient::process(jack_nframes_t nframes) {
    inside_.fetch_add(1);
    const jack_nframes_t start = jack_last_frame_time(client_);
    const std::int64_t previous = cycle_frame_.load(std::memory_order_relaxed);
    const std::int64_t cycle =
        previous == kNoFrame ? static_cast<std::int64_t>(start) : extend_frame(start, previous);
    cycle_frame_.store(cycle, std::memory_order_release);
    period_.store(nframes, std::memory_order_relaxed);
    cycles_.fetch_add(1, std::memory_order_relaxed);
    if (next_expected_ != kNoFrame && cycle < next_expected_) {
        overlapped_.fetch_add(1, std::memory_order_relaxed);
    }

    if (midi_out_) {
        void* buffer = jack_port_get_buffer(midi_out_, nframes);
        jack_midi_clear_buffer(buffer);
        // JACK prints from this thread when a write does not fit: ask first.
        const midiqueue_drain_result drained = midiqueue_drain(
            queue_, cycle, nframes,
            [&](std::uint32_t offset, const std::uint8_t* bytes, std::uint8_t size) {
                return jack_midi_max_event_size(buffer) >= size &&
                       jack_midi_event_write(buffer, offset, bytes, size) == 0;
            });
        midi_written_.fetch_add(static_cast<std::uint64_t>(drained.written),
                                std::memory_order_relaxed);
        midi_late_.fetch_add(static_cast<std::uint64_t>(drained.late), std::memory_order_relaxed);
    }

    if (deliver_.load() && wrong_rate_.load(std::memory_order_relaxed) == 0) {
        deliver_audio(nframes, cycle);
    } else {
        delivered_last_ = false;
    }
    next_expected_ = cycle + nframes;
    inside_.fetch_sub(1);
}

void JackEngineClient::deliver_audio(jack_nframes_t nframes, std::int64_t cycle) {
    if (restart_origin_.exchange(false)) {
        origin_.store(cycle, std::memory_order_release);
        delivered_last_ = false;
        piece_fill_ = 0;
    }
    const AudioSink audio = audio_sink_.load();
    const GapSink gap = gap_sink_.load();
    void* const user = sink_user_.load();
    // A cycle that starts later than the last one ended: the server skipped
    // frames, which the engine's clock counts as lost input.
    if (delivered_last_ && cycle > next_expected_) {
        deliver_piece(audio, user);  // the audio before the gap goes first
        const std::int64_t skipped = cycle - next_expected_;
        skipped_.fetch_add(static_cast<std::uint64_t>(skipped), std::memory_order_relaxed);
        const std::int64_t first = next_expected_ - origin_.load(std::memory_order_relaxed);
        if (gap) gap(static_cast<unsigned long>(skipped), static_cast<double>(first) / kEngineRate, user);
    }
    delivered_last_ = true;
    if (!audio) return;

    const float* selected[kMaxInputs];
    int count = 0;
    const int inputs = input_count_.load(std::memory_order_acquire);
    for (int k = 0; k < inputs; ++k) {
        if (selected_[k].load(std::memory_order_relaxed) == 1 && inputs_[k]) {
            selected[count++] = static_cast<const float*>(jack_port_get_buffer(inputs_[k], nframes));
        }
    }
    for (jack_nframes_t i = 0; i < nframes; ++i) {
        if (piece_fill_ == 0) piece_start_ = cycle + i;
        float sum = 0.0f;
        for (int k = 0; k < count; ++k) sum += selected[k][i];
        mono_[piece_fill_++] = count > 0 ? sum / static_cast<float>(count) : 0.0f;
        if (piece_fill_ == kPieceFrames) deliver_piece(audio, user);
    }
}

void JackEngineClient::deliver_piece(AudioSink audio, void* user) {
    if (piece_fill_ == 0) return;
    const std::int64_t origin = origin_.load(std::memory_order_relaxed);
    if (audio) {
        audio(mono_, static_cast<unsigned long>(piece_fill_),
              static_cast<double>(piece_start_ - origin) / kEngineRate, user);
    }
    piece_fill_ = 0;
}
