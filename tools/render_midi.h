// Output files of `kadenzo render`: the MIDI messages the engine sent, with
// the engine-clock times they belong to, as a Standard MIDI File or a text
// log.
#ifndef KADENZO_TOOLS_RENDER_MIDI_H
#define KADENZO_TOOLS_RENDER_MIDI_H

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "midi_file.h"
#include "midioutput.h"

// Ticks per quarter note in the files written here; with the file's one
// tempo of 60 quarters per minute a tick is a tenth of a millisecond (the
// messages' times are exact; a millisecond would hide the clock's evenness).
constexpr int kRenderMidiDivision = 10000;

// A Standard MIDI File (format 1): the conductor track with the tempo of 60
// quarters per minute (so that a tick is 0.1 ms), then one track named
// "kadenzo render" with every message at its time rounded to the tick, in
// order of time (the file keeps Note Offs before other channel messages of
// the same tick, and the order given otherwise). Channel messages are stored as
// they are; MIDI Clock, Start and Stop, which have no event of their own in
// the format, travel in escape events (F7 <length> <bytes>), the format's
// way to carry system real-time bytes.
MidiFile render_midi_file(const std::vector<midioutput_record>& records);

// The same file as render_midi_file, written as the messages come: only the
// messages of the last few seconds are held (to put each tick's Note Offs
// first), and the track's length is filled in by finish(). The stream
// must be seekable (a file, not a pipe).
class RenderMidiWriter {
  public:
    explicit RenderMidiWriter(std::FILE* out);
    RenderMidiWriter(const RenderMidiWriter&) = delete;
    RenderMidiWriter& operator=(const RenderMidiWriter&) = delete;

    void add(const midioutput_record& record);
    // The end-of-track event and the track length; false with a reason.
    bool finish(std::string& error);

  private:
    struct Pending {
        std::uint32_t tick;
        int order;  // 1 for Note Offs, 2 for the rest
        std::uint64_t sequence;
        std::vector<std::uint8_t> bytes;  // encoded, without the delta time
    };
    void emitUpTo(std::uint32_t tick);  // writes every pending event before tick
    void put(const std::vector<std::uint8_t>& bytes);

    std::FILE* out_;
    long lengthAt_ = -1;  // file offset of the track's length field
    std::uint32_t trackBytes_ = 0;
    std::uint32_t lastTick_ = 0;     // of the last event written
    std::uint32_t newestTick_ = 0;   // of the newest event added
    std::uint64_t sequence_ = 0;
    std::deque<Pending> pending_;  // in file order: by tick, then order, then sequence
    bool failed_ = false;
};

// One line per message: the time in seconds with six decimals, a tab, and
// the bytes in upper-case hexadecimal separated by spaces
// ("12.345678\tB0 40 3F").
void write_render_log(std::FILE* out, const std::vector<midioutput_record>& records);

#endif
