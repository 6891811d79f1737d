// The Standard MIDI File writer: exact bytes for small files (checked by
// hand against the file format's definition), event order, raw bytes, and
// the tempo map's conversion between seconds and ticks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "midi_file.h"
#include "smf_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The bytes of the one-track body that follow a file's header and the
// conductor track (which holds only its end-of-track event).
Bytes secondTrackBody(const Bytes& file) {
    const std::size_t conductor = 14 + 8 + 4;  // header, MTrk + length, 00 FF 2F 00
    const std::size_t length = (file[conductor + 4] << 24) | (file[conductor + 5] << 16) |
                               (file[conductor + 6] << 8) | file[conductor + 7];
    return Bytes(file.begin() + conductor + 8, file.begin() + conductor + 8 + length);
}

TEST(MidiFile, EmptyFileIsHeaderAndConductorTrack) {
    const Bytes expected = {'M',  'T', 'h', 'd', 0,   0, 0, 6, 0, 1,    0,    1,    0x01,
                            0xE0, 'M', 'T', 'r', 'k', 0, 0, 0, 4, 0x00, 0xFF, 0x2F, 0x00};
    EXPECT_EQ(MidiFile().serialize(), expected);
}

TEST(MidiFile, DeltaTimesUseVariableLengthQuantities) {
    // The file format's own examples: 0x40, 0x7F, 0x80, 0x2000, 0x3FFF, 0x4000, 0x100000.
    const std::vector<std::pair<std::uint32_t, Bytes> > cases = {
        {0x40, {0x40}},
        {0x7F, {0x7F}},
        {0x80, {0x81, 0x00}},
        {0x2000, {0xC0, 0x00}},
        {0x3FFF, {0xFF, 0x7F}},
        {0x4000, {0x81, 0x80, 0x00}},
        {0x100000, {0xC0, 0x80, 0x00}},
        {0x0FFFFFFF, {0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const auto& c : cases) {
        MidiFile midi;
        const int track = midi.addTrack();
        midi.addEvent(track, c.first, {0xB0, 64, 127});
        Bytes expected = c.second;
        expected.insert(expected.end(), {0xB0, 64, 127, 0x00, 0xFF, 0x2F, 0x00});
        EXPECT_EQ(secondTrackBody(midi.serialize()), expected) << std::hex << c.first;
    }
}

TEST(MidiFile, TempoTimeSignatureAndNamedTrack) {
    MidiFile midi(96);
    midi.addTempo(0, 0.5);
    midi.addTimeSignature(0, 3, 2);
    midi.addTrack("Hi");
    const Bytes bytes = midi.serialize();
    const Bytes expected = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0, 96,
                            // conductor: tempo 500000 us = 07 A1 20, time signature 3/4
                            'M', 'T', 'r', 'k', 0, 0, 0, 19, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1,
                            0x20, 0x00, 0xFF, 0x58, 0x04, 3, 2, 24, 8, 0x00, 0xFF, 0x2F, 0x00,
                            // track 1: name "Hi"
                            'M', 'T', 'r', 'k', 0, 0, 0, 10, 0x00, 0xFF, 0x03, 0x02, 'H', 'i', 0x00,
                            0xFF, 0x2F, 0x00};
    EXPECT_EQ(bytes, expected);
}

TEST(MidiFile, RawBytesTravelAsTheFormatRequires) {
    MidiFile midi;
    const int track = midi.addTrack();
    midi.addEvent(track, 0, {0xF8});                                // clock: escape event
    midi.addEvent(track, 0, {0xFA});                                // start
    midi.addEvent(track, 0, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});  // system exclusive
    midi.addEvent(track, 0, {0xC3, 5});                             // program change, as is
    const Bytes expected = {0x00, 0xF7, 0x01, 0xF8, 0x00, 0xF7, 0x01, 0xFA, 0x00, 0xF0, 0x05, 0x7E,
                            0x7F, 0x09, 0x01, 0xF7, 0x00, 0xC3, 0x05, 0x00, 0xFF, 0x2F, 0x00};
    EXPECT_EQ(secondTrackBody(midi.serialize()), expected);
}

TEST(MidiFile, EventsAreSortedAndNoteOffsComeFirstAtATick) {
    MidiFile midi;
    const int track = midi.addTrack();
    midi.addNote(track, 480, 480, 9, 76, 100);  // on at 480, off at 960
    midi.addNote(track, 960, 240, 9, 76, 90);   // on at 960 must follow the off
    midi.addEvent(track, 100, {0xB0, 1, 2});    // added last, plays first
    const smf::File f = smf::parse(midi.serialize());
    ASSERT_EQ(f.tracks.size(), 2u);
    const std::vector<smf::Event>& e = f.tracks[1];
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0].tick, 100u);
    EXPECT_EQ(e[1].tick, 480u);
    EXPECT_EQ(e[1].data, (Bytes{76, 100}));
    EXPECT_EQ(e[2].tick, 960u);
    EXPECT_EQ(e[2].data, (Bytes{76, 0}));  // the off first
    EXPECT_EQ(e[3].tick, 960u);
    EXPECT_EQ(e[3].data, (Bytes{76, 90}));
    EXPECT_EQ(e[4].tick, 1200u);
    EXPECT_EQ(e[5].metaType, 0x2F);
    EXPECT_EQ(e[1].status, 0x99);
}

TEST(MidiFile, SecondsAndTicksFollowTheTempoMap) {
    MidiFile midi(480);
    EXPECT_EQ(midi.secondsToTick(1.0), 960u);  // 120 BPM before any tempo event
    midi.addTempo(0, 0.5);
    midi.addTempo(960, 0.25);  // from tick 960 (1.0 s) twice as fast
    midi.addTempo(1920, 1.0);  // from tick 1920 (1.5 s) a second per quarter
    EXPECT_EQ(midi.secondsToTick(0.0), 0u);
    EXPECT_EQ(midi.secondsToTick(-3.0), 0u);
    EXPECT_EQ(midi.secondsToTick(0.5), 480u);
    EXPECT_EQ(midi.secondsToTick(1.0), 960u);
    EXPECT_EQ(midi.secondsToTick(1.25), 1440u);
    EXPECT_EQ(midi.secondsToTick(2.5), 2400u);
    EXPECT_DOUBLE_EQ(midi.tickToSeconds(1440), 1.25);
    EXPECT_DOUBLE_EQ(midi.tickToSeconds(2400), 2.5);
    for (std::uint32_t tick : {0u, 1u, 479u, 961u, 1919u, 1921u, 10000u})
        EXPECT_EQ(midi.secondsToTick(midi.tickToSeconds(tick)), tick);

    const int track = midi.addTrack();
    midi.addEventAtSeconds(track, 1.25, {0x90, 60, 100});
    const smf::File f = smf::parse(midi.serialize());
    EXPECT_EQ(f.tracks[1][0].tick, 1440u);
    EXPECT_DOUBLE_EQ(f.seconds(1440), 1.25);  // the reader agrees
}

TEST(MidiFile, WritesTheFileAndReportsFailure) {
    char pattern[] = "/tmp/kadenzo-midi-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    MidiFile midi;
    midi.addTempo(0, 0.6);
    std::string error;
    const std::string path = dir + "/out.mid";
    ASSERT_TRUE(midi.write(path, error)) << error;
    std::ifstream in(path, std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, midi.serialize());

    EXPECT_FALSE(midi.write(dir + "/no/such/dir/out.mid", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);
    EXPECT_NE(error.find("No such file or directory"), std::string::npos);
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(MidiFile, RejectsMisuse) {
    EXPECT_THROW(MidiFile(0), std::invalid_argument);
    MidiFile midi;
    EXPECT_THROW(midi.addEvent(3, 0, {0x90, 1, 1}), std::out_of_range);
    EXPECT_THROW(midi.addEvent(0, 0, {}), std::invalid_argument);
}

}  // namespace
