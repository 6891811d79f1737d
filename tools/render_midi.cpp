#include "render_midi.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

const char* const kTrackName = "kadenzo render";

// Ticks a second: the file's one tempo is a second per quarter.
constexpr double kTicksPerSecond = kRenderMidiDivision;

// Events are held this long (in ticks: two seconds) after the newest one
// before they are written: messages reach the writer in order of time, or
// very nearly so.
const std::uint32_t kHoldTicks = 2 * kRenderMidiDivision;

std::uint32_t tick_of(const midioutput_record& record) {
    const double ticks = record.time * kTicksPerSecond;
    if (!(ticks > 0.0)) return 0;
    if (ticks >= 4294967295.0) return 0xFFFFFFFEu;  // 119 hours: the format's end
    return static_cast<std::uint32_t>(std::llround(ticks));
}

void append_big_endian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

MidiFile render_midi_file(const std::vector<midioutput_record>& records) {
    MidiFile file(kRenderMidiDivision);
    file.addTempo(0, 1.0);  // one second per quarter: 10000 ticks a second
    const int track = file.addTrack(kTrackName);
    for (const midioutput_record& record : records) {
        if (record.bytes.empty()) continue;
        file.addEvent(track, tick_of(record),
                      std::vector<std::uint8_t>(record.bytes.begin(), record.bytes.end()));
    }
    return file;
}

RenderMidiWriter::RenderMidiWriter(std::FILE* out) : out_(out) {
    // The header and the conductor track are those of render_midi_file with
    // no messages; the second track's length comes last.
    MidiFile empty(kRenderMidiDivision);
    empty.addTempo(0, 1.0);
    const std::vector<std::uint8_t> conductor = empty.serialize();
    std::vector<std::uint8_t> head(conductor);
    head[11] = 2;  // two tracks
    head.insert(head.end(), {'M', 'T', 'r', 'k'});
    put(head);
    lengthAt_ = std::ftell(out_);
    put({0, 0, 0, 0});
    std::vector<std::uint8_t> name{0x00, 0xFF, 0x03};
    MidiFile::appendVariableLength(name, static_cast<std::uint32_t>(std::strlen(kTrackName)));
    name.insert(name.end(), kTrackName, kTrackName + std::strlen(kTrackName));
    put(name);
    trackBytes_ = static_cast<std::uint32_t>(name.size());
}

void RenderMidiWriter::put(const std::vector<std::uint8_t>& bytes) {
    if (failed_ || bytes.empty()) return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size()) failed_ = true;
}

void RenderMidiWriter::add(const midioutput_record& record) {
    if (record.bytes.empty()) return;
    Pending event;
    event.tick = std::max(tick_of(record), lastTick_);
    event.sequence = sequence_++;
    event.bytes = MidiFile::encodeEvent(
        std::vector<std::uint8_t>(record.bytes.begin(), record.bytes.end()), event.order);
    newestTick_ = std::max(newestTick_, event.tick);
    // Messages come nearly in order: the place of a new one is found from the back.
    auto before = [](const Pending& a, const Pending& b) {
        if (a.tick != b.tick) return a.tick < b.tick;
        return a.order < b.order;  // sequence: a new event comes after equal ones
    };
    auto at = pending_.end();
    while (at != pending_.begin() && before(event, *(at - 1))) --at;
    pending_.insert(at, std::move(event));
    if (newestTick_ > kHoldTicks) emitUpTo(newestTick_ - kHoldTicks);
}

void RenderMidiWriter::emitUpTo(std::uint32_t tick) {
    if (pending_.empty() || pending_.front().tick >= tick) return;
    std::vector<std::uint8_t> body;
    while (!pending_.empty() && pending_.front().tick < tick) {
        const Pending& e = pending_.front();
        MidiFile::appendVariableLength(body, e.tick - lastTick_);
        body.insert(body.end(), e.bytes.begin(), e.bytes.end());
        lastTick_ = e.tick;
        pending_.pop_front();
    }
    put(body);
    trackBytes_ += static_cast<std::uint32_t>(body.size());
}

bool RenderMidiWriter::finish(std::string& error) {
    emitUpTo(0xFFFFFFFFu);
    const std::vector<std::uint8_t> end{0x00, 0xFF, 0x2F, 0x00};
    put(end);
    trackBytes_ += static_cast<std::uint32_t>(end.size());
    std::vector<std::uint8_t> length;
    append_big_endian(length, trackBytes_, 4);
    if (!failed_ && (lengthAt_ < 0 || std::fseek(out_, lengthAt_, SEEK_SET) != 0)) failed_ = true;
    put(length);
    if (!failed_ && std::fseek(out_, 0, SEEK_END) != 0) failed_ = true;
    if (failed_) error = std::strerror(errno ? errno : EIO);
    return !failed_;
}

void write_render_log(std::FILE* out, const std::vector<midioutput_record>& records) {
    for (const midioutput_record& record : records) {
        std::fprintf(out, "%.6f\t", record.time);
        for (size_t i = 0; i < record.bytes.size(); ++i) {
            std::fprintf(out, i == 0 ? "%02X" : " %02X", record.bytes[i]);
        }
        std::fputc('\n', out);
    }
}
