// Output files of `kadenzo render`: the MIDI messages the engine sent, with
// the times at which it sent them, as a Standard MIDI File or a text log.
#ifndef KADENZO_TOOLS_RENDER_MIDI_H
#define KADENZO_TOOLS_RENDER_MIDI_H

#include <cstdio>
#include <string>
#include <vector>

#include "midi_file.h"
#include "midioutput.h"

// Ticks per quarter note in the files written here; with the file's one
// tempo of 60 quarters per minute a tick is one millisecond.
constexpr int kRenderMidiDivision = 1000;

// A Standard MIDI File (format 1): the conductor track with the tempo of 60
// quarters per minute (so that ticks are milliseconds), then one track named
// "kadenzo render" with every message at its time rounded to the
// millisecond, in the order sent (the file keeps Note Offs before other
// channel messages of the same millisecond). Channel messages are stored as
// they are; MIDI Clock, Start and Stop, which have no event of their own in
// the format, travel in escape events (F7 <length> <bytes>), the format's
// way to carry system real-time bytes.
MidiFile render_midi_file(const std::vector<midioutput_record>& records);

// One line per message: the time in seconds with three decimals, a tab, and
// the bytes in upper-case hexadecimal separated by spaces ("12.345\tB0 40 3F").
void write_render_log(std::FILE* out, const std::vector<midioutput_record>& records);

#endif
