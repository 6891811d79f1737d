#include "midi_file.h"

#include "output_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

const std::uint32_t kDefaultMicrosPerQuarter = 500000;  // 120 quarters per minute
const std::uint32_t kMaxMicrosPerQuarter = 0xFFFFFF;    // three bytes in the tempo event

void appendVariableLengthQuantity(std::vector<std::uint8_t>& out, std::uint32_t value) {
    std::uint8_t groups[5];
    int n = 0;
    do {
        groups[n++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1) out.push_back(static_cast<std::uint8_t>(groups[--n] | 0x80));
    out.push_back(groups[0]);
}

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool isNoteOff(const std::vector<std::uint8_t>& m) {
    if (m.size() < 3) return false;
    const std::uint8_t kind = m[0] & 0xF0;
    return kind == 0x80 || (kind == 0x90 && m[2] == 0);
}

}  // namespace

MidiFile::MidiFile(int ticksPerQuarter) : ticksPerQuarter_(ticksPerQuarter), tracks_(1) {
    if (ticksPerQuarter < 1 || ticksPerQuarter > 0x7FFF)
        throw std::invalid_argument("ticks per quarter must lie in 1 .. 32767");
}

int MidiFile::addTrack(const std::string& name) {
    tracks_.emplace_back();
    const int index = static_cast<int>(tracks_.size()) - 1;
    if (!name.empty()) addMeta(index, 0, 0x03, std::vector<std::uint8_t>(name.begin(), name.end()));
    return index;
}

void MidiFile::push(int track, std::uint32_t tick, int order, std::vector<std::uint8_t> bytes) {
    if (track < 0 || track >= trackCount()) throw std::out_of_range("no such MIDI track");
    tracks_[static_cast<std::size_t>(track)].push_back(
        Event{tick, order, sequence_++, std::move(bytes)});
}

void MidiFile::addMeta(int track, std::uint32_t tick, std::uint8_t type,
                       const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes{0xFF, static_cast<std::uint8_t>(type & 0x7F)};
    appendVariableLengthQuantity(bytes, static_cast<std::uint32_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    push(track, tick, 0, std::move(bytes));
}

void MidiFile::addTempo(std::uint32_t tick, double secondsPerQuarter) {
    const double micros = std::round(secondsPerQuarter * 1e6);
    const std::uint32_t value =
        micros < 1.0 ? 1u
                     : (micros > kMaxMicrosPerQuarter ? kMaxMicrosPerQuarter
                                                      : static_cast<std::uint32_t>(micros));
    std::vector<std::uint8_t> data;
    appendBigEndian(data, value, 3);
    addMeta(0, tick, 0x51, data);
    tempi_.push_back(Tempo{tick, value});
}

void MidiFile::addTimeSignature(std::uint32_t tick, int numerator, int denominatorPower) {
    // 24 MIDI clocks per metronome click, 8 thirty-second notes per quarter.
    addMeta(
        0, tick, 0x58,
        {static_cast<std::uint8_t>(numerator), static_cast<std::uint8_t>(denominatorPower), 24, 8});
}

std::vector<MidiFile::Tempo> MidiFile::sortedTempi() const {
    std::vector<Tempo> tempi = tempi_;
    // Of several tempo events at one tick the last added wins.
    std::stable_sort(tempi.begin(), tempi.end(),
                     [](const Tempo& a, const Tempo& b) { return a.tick < b.tick; });
    std::vector<Tempo> unique;
    for (const Tempo& t : tempi) {
        if (!unique.empty() && unique.back().tick == t.tick)
            unique.back() = t;
        else
            unique.push_back(t);
    }
    return unique;
}

double MidiFile::tickToSeconds(std::uint32_t tick) const {
    double seconds = 0.0;
    std::uint32_t at = 0;
    std::uint32_t micros = kDefaultMicrosPerQuarter;
    for (const Tempo& t : sortedTempi()) {
        if (t.tick >= tick) break;
        seconds += (t.tick - at) * (micros * 1e-6) / ticksPerQuarter_;
        at = t.tick;
        micros = t.microsPerQuarter;
    }
    return seconds + (tick - at) * (micros * 1e-6) / ticksPerQuarter_;
}

std::uint32_t MidiFile::secondsToTick(double seconds) const {
    if (!(seconds > 0.0)) return 0;
    double at = 0.0;  // seconds at the current segment's start
    std::uint32_t atTick = 0;
    std::uint32_t micros = kDefaultMicrosPerQuarter;
    for (const Tempo& t : sortedTempi()) {
        const double end = at + (t.tick - atTick) * (micros * 1e-6) / ticksPerQuarter_;
        if (end > seconds) break;
        at = end;
        atTick = t.tick;
        micros = t.microsPerQuarter;
    }
    const double ticks = atTick + (seconds - at) * ticksPerQuarter_ / (micros * 1e-6);
    return ticks >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(std::llround(ticks));
}

std::vector<std::uint8_t> MidiFile::encodeEvent(const std::vector<std::uint8_t>& bytes,
                                                int& order) {
    if (bytes.empty()) throw std::invalid_argument("empty MIDI event");
    const std::uint8_t status = bytes[0];
    if (status >= 0x80 && status < 0xF0) {
        order = isNoteOff(bytes) ? 1 : 2;
        return bytes;
    }
    order = 2;
    std::vector<std::uint8_t> encoded;
    if (status == 0xF0) {
        // System exclusive: F0, length, the rest (ending with F7).
        encoded.push_back(0xF0);
        appendVariableLengthQuantity(encoded, static_cast<std::uint32_t>(bytes.size() - 1));
        encoded.insert(encoded.end(), bytes.begin() + 1, bytes.end());
    } else {
        // Anything else (real-time, system common, or running-status data)
        // travels in an escape event: F7, length, the bytes as they are.
        encoded.push_back(0xF7);
        appendVariableLengthQuantity(encoded, static_cast<std::uint32_t>(bytes.size()));
        encoded.insert(encoded.end(), bytes.begin(), bytes.end());
    }
    return encoded;
}

void MidiFile::appendVariableLength(std::vector<std::uint8_t>& out, std::uint32_t value) {
    appendVariableLengthQuantity(out, value);
}

void MidiFile::addEvent(int track, std::uint32_t tick, const std::vector<std::uint8_t>& bytes) {
    int order = 2;
    std::vector<std::uint8_t> encoded = encodeEvent(bytes, order);
    push(track, tick, order, std::move(encoded));
}

void MidiFile::addEventAtSeconds(int track, double seconds,
                                 const std::vector<std::uint8_t>& bytes) {
    addEvent(track, secondsToTick(seconds), bytes);
}

void MidiFile::addNote(int track, std::uint32_t tick, std::uint32_t duration, int channel, int note,
                       int velocity) {
    const std::uint8_t status = static_cast<std::uint8_t>(0x90 | (channel & 0x0F));
    const std::uint8_t key = static_cast<std::uint8_t>(note & 0x7F);
    addEvent(track, tick, {status, key, static_cast<std::uint8_t>(std::max(1, velocity & 0x7F))});
    addEvent(track, tick + duration, {status, key, 0});
}

std::vector<std::uint8_t> MidiFile::serialize() const {
    std::vector<std::uint8_t> out{'M', 'T', 'h', 'd'};
    appendBigEndian(out, 6, 4);
    appendBigEndian(out, 1, 2);  // format 1
    appendBigEndian(out, static_cast<std::uint32_t>(tracks_.size()), 2);
    appendBigEndian(out, static_cast<std::uint32_t>(ticksPerQuarter_), 2);

    for (const std::vector<Event>& track : tracks_) {
        std::vector<const Event*> events;
        events.reserve(track.size());
        for (const Event& e : track) events.push_back(&e);
        std::sort(events.begin(), events.end(), [](const Event* a, const Event* b) {
            if (a->tick != b->tick) return a->tick < b->tick;
            if (a->order != b->order) return a->order < b->order;
            return a->sequence < b->sequence;
        });
        std::vector<std::uint8_t> body;
        std::uint32_t previous = 0;
        for (const Event* e : events) {
            appendVariableLengthQuantity(body, e->tick - previous);
            body.insert(body.end(), e->bytes.begin(), e->bytes.end());
            previous = e->tick;
        }
        appendVariableLengthQuantity(body, 0);
        body.insert(body.end(), {0xFF, 0x2F, 0x00});  // end of track

        out.insert(out.end(), {'M', 'T', 'r', 'k'});
        appendBigEndian(out, static_cast<std::uint32_t>(body.size()), 4);
        out.insert(out.end(), body.begin(), body.end());
    }
    return out;
}

bool MidiFile::write(const std::string& path, std::string& error) const {
    const std::vector<std::uint8_t> bytes = serialize();
    return writeWholeFile(path, std::string(bytes.begin(), bytes.end()), error);
}
