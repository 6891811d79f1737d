#include "render_midi.h"

#include <cmath>
#include <cstdint>

MidiFile render_midi_file(const std::vector<midioutput_record>& records) {
    MidiFile file(kRenderMidiDivision);
    file.addTempo(0, 1.0);  // one second per quarter: 1000 ticks a second
    const int track = file.addTrack("kadenzo render");
    for (const midioutput_record& record : records) {
        if (record.bytes.empty()) continue;
        const std::uint32_t tick =
            record.time > 0.0 ? static_cast<std::uint32_t>(std::llround(record.time * 1000.0)) : 0;
        file.addEvent(track, tick,
                      std::vector<std::uint8_t>(record.bytes.begin(), record.bytes.end()));
    }
    return file;
}

void write_render_log(std::FILE* out, const std::vector<midioutput_record>& records) {
    for (const midioutput_record& record : records) {
        std::fprintf(out, "%.3f\t", record.time);
        for (size_t i = 0; i < record.bytes.size(); ++i) {
            std::fprintf(out, i == 0 ? "%02X" : " %02X", record.bytes[i]);
        }
        std::fputc('\n', out);
    }
}
