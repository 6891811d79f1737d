#include "oscsink.h"

#include <lo/lo.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>

#include "common.h"

namespace {

// Between 1900 (NTP's epoch) and 1970 (the wall clock's).
const std::uint64_t kNtpUnixOffsetSeconds = 2208988800ull;
// The tempo message goes out when the tempo moved by more than this, and
// after this long without one.
const double kTempoChangeBpm = 0.1;
const double kTempoRepeatSeconds = 1.0;
// How often the sending thread looks at its queue.
const auto kPollInterval = std::chrono::milliseconds(1);

osc_argument int_argument(int value) {
    osc_argument a;
    a.type = 'i';
    a.i = value;
    return a;
}

osc_argument float_argument(double value) {
    osc_argument a;
    a.type = 'f';
    a.f = static_cast<float>(value);
    return a;
}

osc_argument string_argument(const char* value) {
    osc_argument a;
    a.type = 's';
    a.s = value;
    return a;
}

lo_timetag timetag_of_wall_us(double wall_us) {
    lo_timetag tag;
    const double seconds = std::floor(wall_us / 1e6);
    const double fraction = (wall_us - seconds * 1e6) / 1e6;
    tag.sec =
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds) + kNtpUnixOffsetSeconds);
    tag.frac = static_cast<std::uint32_t>(std::min(fraction * 4294967296.0, 4294967295.0));
    return tag;
}

}  // namespace

std::string osc_message::types() const {
    std::string t;
    for (const osc_argument& a : arguments) t.push_back(a.type);
    return t;
}

const char* const OSC_PREFIX_RULE =
    "must start with '/', not end with one, and hold no spaces or any of # * , ? [ ] { }";

bool osc_prefix_valid(const std::string& prefix) {
    if (prefix.size() < 2 || prefix[0] != '/' || prefix.back() == '/') return false;
    // OSC reserves these in address patterns.
    for (char c : prefix) {
        if (c == ' ' || c == '#' || c == '*' || c == ',' || c == '?' || c == '[' || c == ']' ||
            c == '{' || c == '}' || static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return true;
}

bool osc_parse_target(const std::string& text, std::string* host, std::string* port,
                      std::string* error) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) {
        *error = "OSC target '" + text + "' is not HOST:PORT";
        return false;
    }
    std::string h = text.substr(0, colon);
    const std::string p = text.substr(colon + 1);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    char* end = nullptr;
    const long number = std::strtol(p.c_str(), &end, 10);
    if (h.empty() || *end != '\0' || p.find_first_not_of("0123456789") != std::string::npos ||
        number < 1 || number > 65535) {
        *error = "OSC target '" + text + "': the port must be a number from 1 to 65535";
        return false;
    }
    *host = h;
    *port = p;
    return true;
}

osc_encoder::osc_encoder(std::string prefix) : prefix_(std::move(prefix)) {}

void osc_encoder::tempo_if_due(const sink_event& event, std::vector<osc_message>* out) {
    if (!(event.bpm > 0.0)) return;
    if (tempo_sent && std::fabs(event.bpm - tempo_bpm) <= kTempoChangeBpm &&
        event.time - tempo_time < kTempoRepeatSeconds) {
        return;
    }
    osc_message m;
    m.time = event.time;
    m.send_time = event.time - event.anti_delay;
    m.path = prefix_ + "/tempo";
    m.arguments.push_back(float_argument(event.bpm));
    out->push_back(std::move(m));
    tempo_sent = true;
    tempo_bpm = event.bpm;
    tempo_time = event.time;
}

void osc_encoder::encode(const sink_event& event, std::vector<osc_message>* out) {
    auto message = [&](const char* name) {
        osc_message m;
        m.time = event.time;
        m.send_time = event.time - event.anti_delay;
        m.path = prefix_ + name;
        return m;
    };
    switch (event.kind) {
        case sink_event_kind::clock_start: {
            bars = 0;
            tempo_sent = false;
            osc_message m = message("/clock");
            m.arguments.push_back(string_argument("start"));
            out->push_back(std::move(m));
            tempo_if_due(event, out);
            return;
        }
        case sink_event_kind::clock_stop: {
            osc_message m = message("/clock");
            m.arguments.push_back(string_argument("stop"));
            out->push_back(std::move(m));
            return;
        }
        case sink_event_kind::beat: {
            if (!event.running) return;
            if (event.starts_bar) {
                osc_message bar = message("/bar");
                bar.arguments.push_back(int_argument(++bars));
                out->push_back(std::move(bar));
            }
            osc_message beat = message("/beat");
            beat.arguments.push_back(int_argument(event.position + 1));
            beat.arguments.push_back(int_argument(event.beats_per_bar));
            beat.arguments.push_back(float_argument(event.bpm));
            out->push_back(std::move(beat));
            tempo_if_due(event, out);
            return;
        }
        case sink_event_kind::phase: {
            if (!event.running) return;
            tempo_if_due(event, out);
            osc_message m = message("/phase");
            m.arguments.push_back(float_argument(event.bar_phase));
            m.arguments.push_back(float_argument(event.beat_phase));
            out->push_back(std::move(m));
            return;
        }
        case sink_event_kind::estimate:
            if (event.running) tempo_if_due(event, out);
            return;
    }
}

std::string osc_log_line(const osc_message& message) {
    char times[64];
    std::snprintf(times, sizeof times, "%.6f\t%.6f\t", message.time, message.send_time);
    std::string line = times + message.path + "\t" + message.types();
    for (const osc_argument& a : message.arguments) {
        char value[48];
        if (a.type == 'i') {
            std::snprintf(value, sizeof value, "\t%d", static_cast<int>(a.i));
            line += value;
        } else if (a.type == 'f') {
            std::snprintf(value, sizeof value, "\t%.3f", static_cast<double>(a.f));
            line += value;
        } else {
            line += "\t" + a.s;
        }
    }
    return line;
}

osc_log_sink::osc_log_sink(std::FILE* out, std::string prefix)
    : out_(out), encoder_(std::move(prefix)) {}

void osc_log_sink::post(const sink_event& event) {
    scratch_.clear();
    encoder_.encode(event, &scratch_);
    for (const osc_message& m : scratch_) {
        std::fprintf(out_, "%s\n", osc_log_line(m).c_str());
        ++written_;
    }
}

osc_sink::osc_sink() {
    thread_ = std::thread([this] { run(); });
}

osc_sink::~osc_sink() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

bool osc_sink::configure(const std::string& target, const std::string& prefix, std::string* error) {
    std::string host, port;
    if (!target.empty() && !osc_parse_target(target, &host, &port, error)) return false;
    if (!osc_prefix_valid(prefix)) {
        *error = "OSC prefix '" + prefix + "' " + OSC_PREFIX_RULE;
        return false;
    }
    std::lock_guard<std::mutex> hold(config_lock_);
    host_ = host;
    port_ = port;
    prefix_ = prefix;
    ++config_version_;
    enabled_.store(!target.empty());
    return true;
}

std::string osc_sink::target() const {
    std::lock_guard<std::mutex> hold(config_lock_);
    if (host_.empty()) return std::string();
    return (host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_) + ":" + port_;
}

osc_sink_counts osc_sink::counts() const {
    osc_sink_counts c;
    c.sent = sent_.load();
    c.failed = failed_.load();
    c.dropped = queue_.dropped();
    return c;
}

void osc_sink::post(const sink_event& event) {
    // The clock readings are wanted even while nothing is sent, so that a
    // target set later has its time mapping at once.
    queue_.push(event);
}

void osc_sink::run() {
    // The address, its socket and the encoder belong to this thread alone
    // (liblo's addresses have no lock).
    lo_address address = nullptr;
    osc_encoder encoder;
    clock_mapping wall;
    unsigned version = 0;
    std::vector<osc_message> messages;
    bool error_reported = false;
    std::string target;  // for messages
    try {
        for (;;) {
            // The last events (a Stop) still go out when the sink closes.
            const bool stopping = stop_.load();
            {
                std::lock_guard<std::mutex> hold(config_lock_);
                if (version != config_version_) {
                    version = config_version_;
                    if (address) lo_address_free(address);
                    address =
                        host_.empty() ? nullptr : lo_address_new(host_.c_str(), port_.c_str());
                    if (!host_.empty() && !address) {
                        tm_logmsg(3, "OSC: cannot use target %s:%s", host_.c_str(), port_.c_str());
                    }
                    encoder = osc_encoder(prefix_);
                    target = host_ + ":" + port_;
                    error_reported = false;
                }
            }
            sink_event event;
            while (queue_.pop(&event)) {
                if (event.clocks.wall_us != 0)
                    wall.add(event.clocks.engine_s, event.clocks.wall_us);
                if (!address || !enabled_.load(std::memory_order_relaxed)) continue;
                messages.clear();
                encoder.encode(event, &messages);
                for (const osc_message& m : messages) {
                    lo_message body = lo_message_new();
                    for (const osc_argument& a : m.arguments) {
                        if (a.type == 'i') lo_message_add_int32(body, a.i);
                        if (a.type == 'f') lo_message_add_float(body, a.f);
                        if (a.type == 's') lo_message_add_string(body, a.s.c_str());
                    }
                    const lo_timetag tag = wall.valid()
                                               ? timetag_of_wall_us(wall.to_other_us(m.time))
                                               : LO_TT_IMMEDIATE;
                    lo_bundle bundle = lo_bundle_new(tag);
                    lo_bundle_add_message(bundle, m.path.c_str(), body);
                    if (lo_send_bundle(address, bundle) < 0) {
                        failed_.fetch_add(1);
                        if (!error_reported) {
                            const char* why = lo_address_errstr(address);
                            tm_logmsg(2, "OSC: sending to %s failed: %s", target.c_str(),
                                      why ? why : "unknown error");
                            error_reported = true;
                        }
                    } else {
                        sent_.fetch_add(1);
                        error_reported = false;
                    }
                    lo_bundle_free_recursive(bundle);
                }
            }
            if (stopping) break;
            std::this_thread::sleep_for(kPollInterval);
        }
    } catch (const std::exception& e) {
        tm_logmsg(3, "OSC: the sending thread failed: %s", e.what());
    } catch (...) {
        tm_logmsg(3, "OSC: the sending thread failed");
    }
    if (address) lo_address_free(address);
}
