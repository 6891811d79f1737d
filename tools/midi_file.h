// Builds and writes Standard MIDI Files (format 1). Track 0 is the conductor
// track holding the tempo map and time signatures; further tracks hold
// events. Events are placed by tick or by seconds (through the tempo map) and
// may be any MIDI bytes: channel messages are stored as they are, system
// exclusive and real-time/common bytes (clock, start, stop, ...) as the
// file format's escape events, so a recording of raw output fits as well.
#ifndef KADENZO_TOOLS_MIDI_FILE_H
#define KADENZO_TOOLS_MIDI_FILE_H

#include <cstdint>
#include <string>
#include <vector>

class MidiFile {
  public:
    explicit MidiFile(int ticksPerQuarter = 480);

    int ticksPerQuarter() const { return ticksPerQuarter_; }
    // Appends a track (with a name event when name is not empty); returns
    // its index. Track 0, the conductor track, always exists.
    int addTrack(const std::string& name = std::string());
    int trackCount() const { return static_cast<int>(tracks_.size()); }

    // Tempo map, on track 0. Until the first tempo event the tempo is 120
    // quarters per minute, as the file format defines.
    void addTempo(std::uint32_t tick, double secondsPerQuarter);
    // numerator / 2^denominatorPower, e.g. (3, 2) for 3/4.
    void addTimeSignature(std::uint32_t tick, int numerator, int denominatorPower);

    // Tick of a time in seconds (rounded to the nearest tick) and the time
    // of a tick, through the tempo map as it stands.
    std::uint32_t secondsToTick(double seconds) const;
    double tickToSeconds(std::uint32_t tick) const;

    // Any MIDI message or raw bytes (see above) at a tick or at a time.
    void addEvent(int track, std::uint32_t tick, const std::vector<std::uint8_t>& bytes);
    void addEventAtSeconds(int track, double seconds, const std::vector<std::uint8_t>& bytes);
    // Meta event (type 0x00 .. 0x7f) with its data.
    void addMeta(int track, std::uint32_t tick, std::uint8_t type,
                 const std::vector<std::uint8_t>& data);
    // Note On at tick and Note Off (velocity 0 Note On) duration ticks later.
    // channel 0 .. 15.
    void addNote(int track, std::uint32_t tick, std::uint32_t duration, int channel, int note,
                 int velocity);

    // How addEvent stores bytes in a track: the encoded event without its
    // delta time, and its order among events of the same tick (0 meta
    // events, 1 Note Offs, 2 the rest). Throws on empty bytes.
    static std::vector<std::uint8_t> encodeEvent(const std::vector<std::uint8_t>& bytes,
                                                 int& order);
    // The file format's variable-length quantity.
    static void appendVariableLength(std::vector<std::uint8_t>& out, std::uint32_t value);

    // The file's bytes; every track gets its end-of-track event.
    std::vector<std::uint8_t> serialize() const;
    // Writes the file; false with a reason in error on failure.
    bool write(const std::string& path, std::string& error) const;

  private:
    struct Event {
        std::uint32_t tick;
        int order;  // at equal ticks: meta events, then note offs, then the rest
        std::uint64_t sequence;
        std::vector<std::uint8_t> bytes;  // encoded, without the delta time
    };
    struct Tempo {
        std::uint32_t tick;
        std::uint32_t microsPerQuarter;
    };

    void push(int track, std::uint32_t tick, int order, std::vector<std::uint8_t> bytes);
    std::vector<Tempo> sortedTempi() const;

    int ticksPerQuarter_;
    std::vector<std::vector<Event> > tracks_;
    std::vector<Tempo> tempi_;
    std::uint64_t sequence_ = 0;
};

#endif
