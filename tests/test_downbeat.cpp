// The downbeat stage: bar starts and beats per bar on synthetic music whose
// bars are marked in one way only (a kick accent, or harmony that changes on
// the first beat), meter changes, silence, other sample rates; the model over
// bar positions on made-up evidence; the evidence itself; and the stage's
// interface (order, latency, late beats, rejects, reset, bar reference, no
// allocation while running).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "barEvidence.h"
#include "barPositionModel.h"
#include "downbeatTracker.h"
#include "synthetic_meter.h"

// Counts allocations, for the test that the stage allocates nothing while it runs.
namespace {
std::atomic<long> gAllocations{0};
}
void* operator new(std::size_t size) {
    ++gAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using meterTracker::BarEvidence;
using meterTracker::BarPositionModel;
using meterTracker::BeatEvidence;
using meterTracker::BeatPosition;
using meterTracker::DownbeatTracker;

struct Decision {
    BeatPosition beat;
    double audioTime;  // seconds of audio handed in when it came out
};

// Runs the stage over the music in blocks of 512 samples, handing each beat in
// `lead` seconds before it sounds (negative: after), and finishes.
std::vector<Decision> runStage(DownbeatTracker& stage, const synth::MeterMusic& m, double rate,
                               double lead = 0.5) {
    std::vector<Decision> out;
    std::size_t next = 0;
    BeatPosition d;
    for (std::size_t i = 0; i < m.samples.size(); i += 512) {
        const unsigned n = unsigned(std::min<std::size_t>(512, m.samples.size() - i));
        const double now = double(i + n) / rate;
        while (next < m.beats.size() && m.beats[next] <= now + lead) stage.addBeat(m.beats[next++]);
        stage.addAudio(&m.samples[i], n);
        while (stage.nextDecision(d)) out.push_back({d, now});
    }
    while (next < m.beats.size()) stage.addBeat(m.beats[next++]);
    stage.finish();
    while (stage.nextDecision(d)) out.push_back({d, double(m.samples.size()) / rate});
    return out;
}

std::vector<Decision> runPiece(const synth::MeterPiece& p, double lead = 0.5) {
    const synth::MeterMusic m = synth::meterPiece(p);
    DownbeatTracker stage(unsigned(p.sampleRate));
    return runStage(stage, m, p.sampleRate, lead);
}

// Beats from `from` on whose position or bar length differs from the truth.
int wrongFrom(const std::vector<Decision>& out, const synth::MeterMusic& m, std::size_t from,
              std::string* first = nullptr) {
    int wrong = 0;
    std::size_t last = 0;
    for (std::size_t i = from; i < out.size() && i < m.beats.size(); ++i) {
        const BeatPosition& b = out[i].beat;
        if (b.position != m.positions[i] || b.beatsPerBar != m.beatsPerBar[i]) {
            last = i;
            if (wrong++ == 0 && first)
                *first = "beat " + std::to_string(i) + ": " + std::to_string(b.position) + "/" +
                         std::to_string(b.beatsPerBar) + ", truth " +
                         std::to_string(m.positions[i]) + "/" + std::to_string(m.beatsPerBar[i]);
        }
    }
    if (wrong > 0 && first) *first += "; last wrong beat " + std::to_string(last);
    return wrong;
}

std::size_t firstBeatOfBar(const synth::MeterPiece& p, std::size_t bar) {
    std::size_t beats = 0;
    for (std::size_t b = 0; b < bar && b < p.bars.size(); ++b) beats += p.bars[b];
    return beats;
}

synth::MeterPiece piece(int beatsPerBar, int barCount, synth::BarMark mark, double bpm) {
    synth::MeterPiece p;
    p.bars.assign(barCount, beatsPerBar);
    p.mark = mark;
    p.bpm = bpm;
    return p;
}

// ---------------------------------------------------------------------------
// Bar starts and beats per bar on marked bars.

struct MeterCase {
    const char* name;
    int beatsPerBar;
    synth::BarMark mark;
    double bpm;
    int settleBars;  // bars before the stage is judged
};

std::ostream& operator<<(std::ostream& os, const MeterCase& c) {
    return os << c.name;
}

class MarkedBars : public ::testing::TestWithParam<MeterCase> {};

TEST_P(MarkedBars, EveryBeatAfterTheFirstBarsHasItsPositionAndTheMeter) {
    const MeterCase& c = GetParam();
    const synth::MeterPiece p = piece(c.beatsPerBar, 24, c.mark, c.bpm);
    const synth::MeterMusic m = synth::meterPiece(p);
    const std::vector<Decision> out = runPiece(p);
    ASSERT_EQ(out.size(), m.beats.size());
    std::string first;
    EXPECT_EQ(wrongFrom(out, m, firstBeatOfBar(p, c.settleBars), &first), 0) << first;
}

INSTANTIATE_TEST_SUITE_P(
    DownbeatStage, MarkedBars,
    ::testing::Values(MeterCase{"accent_3_4", 3, synth::BarMark::kAccent, 120.0, 6},
                      MeterCase{"accent_4_4", 4, synth::BarMark::kAccent, 120.0, 6},
                      MeterCase{"accent_5_4", 5, synth::BarMark::kAccent, 140.0, 6},
                      MeterCase{"accent_7_4", 7, synth::BarMark::kAccent, 160.0, 6},
                      MeterCase{"accent_3_4_fast", 3, synth::BarMark::kAccent, 180.0, 6},
                      MeterCase{"harmony_4_4", 4, synth::BarMark::kHarmony, 110.0, 4},
                      MeterCase{"harmony_3_4", 3, synth::BarMark::kHarmony, 96.0, 4}),
    [](const ::testing::TestParamInfo<MeterCase>& info) { return std::string(info.param.name); });

// A kick every other beat fits bars of 2 and bars of 4 alike; the prior then
// takes 4, with its bar starts on kicks.
TEST(DownbeatStage, AnAccentEveryTwoBeatsReadsAsFourWithBarsOnTheAccents) {
    const synth::MeterPiece p = piece(2, 24, synth::BarMark::kAccent, 100.0);
    const synth::MeterMusic m = synth::meterPiece(p);
    const std::vector<Decision> out = runPiece(p);
    ASSERT_EQ(out.size(), m.beats.size());
    for (std::size_t i = firstBeatOfBar(p, 8); i < out.size(); ++i) {
        ASSERT_EQ(out[i].beat.beatsPerBar, 4) << i;
        ASSERT_EQ(out[i].beat.position % 2, m.positions[i] % 2) << i;
    }
}

// The same kicks every other beat, with bar-start cues from another model on
// every fourth beat: the cues settle, within a dozen bars of two, which kicks
// start the bars.
TEST(DownbeatStage, BarCuesTellTheFirstBeatFromTheThird) {
    const synth::MeterPiece p = piece(2, 24, synth::BarMark::kAccent, 100.0);
    const synth::MeterMusic m = synth::meterPiece(p);
    for (std::size_t offset : {0u, 2u}) {
        DownbeatTracker stage(44100);
        std::size_t next = 0, cue = offset;
        BeatPosition d;
        std::vector<BeatPosition> out;
        for (std::size_t i = 0; i < m.samples.size(); i += 512) {
            const unsigned n = unsigned(std::min<std::size_t>(512, m.samples.size() - i));
            const double now = double(i + n) / p.sampleRate;
            while (cue < m.beats.size() && m.beats[cue] <= now + 0.5) {
                ASSERT_TRUE(stage.addBarCue(m.beats[cue] + 0.01));
                cue += 4;
            }
            while (next < m.beats.size() && m.beats[next] <= now + 0.5)
                stage.addBeat(m.beats[next++]);
            stage.addAudio(&m.samples[i], n);
            while (stage.nextDecision(d)) out.push_back(d);
        }
        stage.finish();
        while (stage.nextDecision(d)) out.push_back(d);
        ASSERT_EQ(out.size(), m.beats.size());
        for (std::size_t i = firstBeatOfBar(p, 12); i < out.size(); ++i) {
            ASSERT_EQ(out[i].beatsPerBar, 4) << offset << " " << i;
            ASSERT_EQ(out[i].position, int((i + 4 - offset) % 4) + 1) << offset << " " << i;
        }
    }
}

TEST(DownbeatStage, FollowsAChangeOfMeterWithinAFewBars) {
    synth::MeterPiece p;
    p.bars.assign(12, 4);
    p.bars.insert(p.bars.end(), 14, 3);
    p.bars.insert(p.bars.end(), 12, 4);
    const synth::MeterMusic m = synth::meterPiece(p);
    const std::vector<Decision> out = runPiece(p);
    ASSERT_EQ(out.size(), m.beats.size());
    std::string first;
    // Judged from the seventh bar of each section to its end.
    for (std::size_t section : {0u, 12u, 26u}) {
        const std::size_t from = firstBeatOfBar(p, section + 6);
        const std::size_t to = firstBeatOfBar(p, section == 26u ? p.bars.size() : section + 12);
        int wrong = 0;
        std::size_t last = 0;
        for (std::size_t i = from; i < to; ++i) {
            if (out[i].beat.position != m.positions[i] ||
                out[i].beat.beatsPerBar != m.beatsPerBar[i]) {
                ++wrong;
                last = i;
            }
        }
        EXPECT_EQ(wrong, 0) << "section from bar " << section << ", last wrong beat " << last;
    }
}

TEST(DownbeatStage, KeepsCountingBarsThroughASilentBreak) {
    synth::MeterPiece p = piece(4, 24, synth::BarMark::kAccent, 120.0);
    // Bars 10 and 11 are silent while the beats go on.
    p.silenceFrom = p.firstBeat + 40 * 0.5 - 0.05;
    p.silenceTo = p.firstBeat + 48 * 0.5 - 0.05;
    const synth::MeterMusic m = synth::meterPiece(p);
    const std::vector<Decision> out = runPiece(p);
    ASSERT_EQ(out.size(), m.beats.size());
    std::string first;
    EXPECT_EQ(wrongFrom(out, m, firstBeatOfBar(p, 6), &first), 0) << first;
}

TEST(DownbeatStage, SilenceGivesAStableCountAndNoNonsense) {
    const double rate = 44100.0;
    synth::MeterMusic m;
    m.samples.assign(std::size_t(30 * rate), 0.0);
    for (double t = 0.3; t < 29.0; t += 0.5) m.beats.push_back(t);
    DownbeatTracker stage(44100);
    const std::vector<Decision> out = runStage(stage, m, rate);
    ASSERT_EQ(out.size(), m.beats.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const BeatPosition& b = out[i].beat;
        ASSERT_EQ(b.beatsPerBar, 4) << "the prior's choice when nothing is heard";
        ASSERT_EQ(b.position, int(i % 4) + 1);
    }
}

TEST(DownbeatStage, FindsTheSameBarsAtEverySupportedRate) {
    for (double rate : {8000.0, 16000.0, 22050.0, 32000.0, 44100.0, 48000.0}) {
        synth::MeterPiece p = piece(3, 20, synth::BarMark::kAccent, 120.0);
        p.sampleRate = rate;
        const synth::MeterMusic m = synth::meterPiece(p);
        const std::vector<Decision> out = runPiece(p);
        ASSERT_EQ(out.size(), m.beats.size()) << rate;
        std::string first;
        EXPECT_EQ(wrongFrom(out, m, firstBeatOfBar(p, 10), &first), 0) << rate << " Hz: " << first;
    }
}

TEST(DownbeatStage, NonFiniteAudioCountsAsSilence) {
    synth::MeterPiece p = piece(3, 20, synth::BarMark::kAccent, 120.0);
    synth::MeterMusic m = synth::meterPiece(p);
    const std::size_t at = std::size_t(12.0 * p.sampleRate);
    for (std::size_t i = 0; i < 2000; ++i) m.samples[at + i] = i % 2 ? std::nan("") : 1e308;
    m.samples[at + 5000] = std::numeric_limits<double>::infinity();
    DownbeatTracker stage(44100);
    const std::vector<Decision> out = runStage(stage, m, p.sampleRate);
    ASSERT_EQ(out.size(), m.beats.size());
    std::string first;
    EXPECT_EQ(wrongFrom(out, m, firstBeatOfBar(p, 4), &first), 0) << first;
}

// ---------------------------------------------------------------------------
// The stage's interface.

TEST(DownbeatStageInterface, DecidesEveryBeatOnceInOrderAboutABeatLate) {
    const synth::MeterPiece p = piece(4, 12, synth::BarMark::kAccent, 120.0);
    const synth::MeterMusic m = synth::meterPiece(p);
    const std::vector<Decision> out = runPiece(p, 2.0);
    ASSERT_EQ(out.size(), m.beats.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].beat.index, long(i));
        EXPECT_EQ(out[i].beat.time, m.beats[i]);
        EXPECT_GE(out[i].beat.position, 1);
        EXPECT_LE(out[i].beat.position, out[i].beat.beatsPerBar);
        if (i + 1 < m.beats.size()) {
            // Not before the audio reaches the next beat; then within the tonal
            // frame's half length (0.093 s) and a block of audio (0.012 s).
            EXPECT_GE(out[i].audioTime, m.beats[i + 1]) << i;
            EXPECT_LE(out[i].audioTime, m.beats[i + 1] + 0.093 + 0.012 + 0.01) << i;
        }
    }
}

TEST(DownbeatStageInterface, LateBeatsGetTheSameDecisions) {
    const synth::MeterPiece p = piece(3, 16, synth::BarMark::kHarmony, 100.0);
    const std::vector<Decision> early = runPiece(p, 1.0);
    const std::vector<Decision> late = runPiece(p, -2.0);
    ASSERT_EQ(early.size(), late.size());
    for (std::size_t i = 0; i < early.size(); ++i) {
        EXPECT_EQ(early[i].beat.position, late[i].beat.position) << i;
        EXPECT_EQ(early[i].beat.beatsPerBar, late[i].beat.beatsPerBar) << i;
    }
}

TEST(DownbeatStageInterface, RejectsBeatsAndCuesOutOfOrderOrNotFiniteOrBeyondTheQueue) {
    DownbeatTracker stage(44100);
    EXPECT_FALSE(stage.addBeat(std::nan("")));
    EXPECT_FALSE(stage.addBeat(std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(stage.addBeat(1.0));
    EXPECT_FALSE(stage.addBeat(1.0));
    EXPECT_FALSE(stage.addBeat(0.5));
    EXPECT_TRUE(stage.addBeat(1.5));
    EXPECT_TRUE(stage.addBarCue(1.0));
    EXPECT_FALSE(stage.addBarCue(1.0));
    EXPECT_FALSE(stage.addBarCue(std::nan("")));
    EXPECT_TRUE(stage.addBarCue(3.0));
    // No audio yet: the beats wait, up to the queue's capacity.
    double t = 1.5;
    while (stage.pendingBeats() < DownbeatTracker::kQueueCapacity)
        ASSERT_TRUE(stage.addBeat(t += 0.5));
    EXPECT_FALSE(stage.addBeat(t + 0.5));
    BeatPosition d;
    EXPECT_FALSE(stage.nextDecision(d));
    stage.finish();
    int decided = 0;
    while (stage.nextDecision(d)) ++decided;
    EXPECT_EQ(decided, DownbeatTracker::kQueueCapacity);
    EXPECT_EQ(stage.pendingBeats(), 0);
}

TEST(DownbeatStageInterface, ResetGivesTheSameAnswersAgain) {
    const synth::MeterPiece p = piece(3, 12, synth::BarMark::kAccent, 120.0);
    const synth::MeterMusic m = synth::meterPiece(p);
    DownbeatTracker stage(44100);
    const std::vector<Decision> a = runStage(stage, m, p.sampleRate);
    stage.reset();
    EXPECT_EQ(stage.barReference().barStart, -1.0);
    const std::vector<Decision> b = runStage(stage, m, p.sampleRate);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].beat.position, b[i].beat.position);
        EXPECT_EQ(a[i].beat.index, b[i].beat.index);
    }
}

TEST(DownbeatStageInterface, BarReferenceIsTheLatestBarStartUpToTheNewestBeat) {
    const synth::MeterPiece p = piece(3, 16, synth::BarMark::kAccent, 120.0);
    const synth::MeterMusic m = synth::meterPiece(p);
    DownbeatTracker stage(44100);
    EXPECT_EQ(stage.barReference().barStart, -1.0);
    EXPECT_EQ(stage.barReference().barStartIndex, -1);
    std::size_t next = 0;
    BeatPosition d;
    int checked = 0;
    for (std::size_t i = 0; i < m.samples.size(); i += 512) {
        const unsigned n = unsigned(std::min<std::size_t>(512, m.samples.size() - i));
        const double now = double(i + n) / p.sampleRate;
        while (next < m.beats.size() && m.beats[next] <= now + 0.5) stage.addBeat(m.beats[next++]);
        stage.addAudio(&m.samples[i], n);
        while (stage.nextDecision(d)) {
        }
        if (now < 8.0 || next == 0) continue;
        const meterTracker::BarReference ref = stage.barReference();
        // From the fourth bar on: a true bar start, within the last bar of the
        // beats handed in, three beats a bar.
        ASSERT_GE(ref.barStartIndex, 0);
        EXPECT_EQ(ref.beatsPerBar, 3);
        EXPECT_EQ(m.positions[ref.barStartIndex], 1) << now;
        EXPECT_EQ(ref.barStart, m.beats[ref.barStartIndex]);
        EXPECT_GT(ref.barStartIndex, long(next) - 1 - 3);
        ++checked;
    }
    EXPECT_GT(checked, 100);
}

TEST(DownbeatStageInterface, AllocatesNothingWhileRunning) {
    const synth::MeterPiece p = piece(4, 20, synth::BarMark::kHarmony, 120.0);
    const synth::MeterMusic m = synth::meterPiece(p);
    DownbeatTracker stage(44100);
    std::size_t next = 0;
    BeatPosition d;
    long during = 0;
    for (std::size_t i = 0; i < m.samples.size(); i += 333) {
        const unsigned n = unsigned(std::min<std::size_t>(333, m.samples.size() - i));
        const double now = double(i + n) / p.sampleRate;
        const long before = gAllocations.load();
        while (next < m.beats.size() && m.beats[next] <= now + 0.5) stage.addBeat(m.beats[next++]);
        stage.addAudio(&m.samples[i], n);
        while (stage.nextDecision(d)) {
        }
        (void)stage.barReference();
        during += gAllocations.load() - before;
    }
    EXPECT_EQ(during, 0);
}

// ---------------------------------------------------------------------------
// The model over bar positions, on made-up evidence: a bar-start cue every M
// beats.

BeatEvidence cue(bool downbeat) {
    BeatEvidence e;
    e.audible = true;
    e.lowOnset = downbeat ? 1.0 : 0.1;
    e.chromaChange = downbeat ? 0.5 : 0.05;
    for (int k = 0; k < BeatEvidence::kRhythmSize; ++k) e.rhythm[k] = downbeat && k < 8 ? 1.0 : 0.2;
    return e;
}

TEST(BarPositionModel, LocksOntoTheBarLengthAndStartOfRegularCues) {
    for (int meter : {2, 3, 4, 5, 7}) {
        for (int offset = 0; offset < meter; ++offset) {
            BarPositionModel model;
            std::vector<int> positions;
            for (int i = 0; i < 16 * meter; ++i)
                positions.push_back(model.addBeat(cue((i - offset) % meter == 0 && i >= offset)));
            EXPECT_EQ(model.beatsPerBar(), meter) << meter << "/" << offset;
            // The last four bars all in place.
            for (int i = 12 * meter; i < 16 * meter; ++i)
                ASSERT_EQ(positions[i], ((i - offset) % meter + meter) % meter + 1)
                    << meter << "/" << offset << " beat " << i;
            EXPECT_EQ(model.position(16 * meter + 1), ((16 * meter + 1 - offset) % meter) + 1);
        }
    }
}

TEST(BarPositionModel, InaudibleBeatsNeitherMoveNorFadeTheChoice) {
    BarPositionModel model;
    for (int i = 0; i < 40; ++i) model.addBeat(cue(i % 3 == 1));
    ASSERT_EQ(model.beatsPerBar(), 3);
    const double margin = model.margin();
    BeatEvidence silent;  // not audible
    for (int i = 40; i < 100; ++i) ASSERT_EQ(model.addBeat(silent), (i - 1) % 3 + 1);
    EXPECT_EQ(model.margin(), margin);
}

TEST(BarPositionModel, OneContraryBeatDoesNotMoveTheBars) {
    BarPositionModel model;
    int i = 0;
    for (; i < 40; ++i) model.addBeat(cue(i % 4 == 0));
    ASSERT_EQ(model.beatsPerBar(), 4);
    // A loud cue on a third beat, then the bars as before.
    BeatEvidence loud = cue(true);
    loud.lowOnset = 5.0;
    loud.chromaChange = 2.0;
    EXPECT_EQ(model.addBeat(loud), i % 4 + 1);
    for (++i; i < 60; ++i) ASSERT_EQ(model.addBeat(cue(i % 4 == 0)), i % 4 + 1);
}

TEST(BarPositionModel, TakesOnlyTheCandidateMetersItIsGiven) {
    BarPositionModel::Options options;
    options.meterCount = 2;
    options.meters[0] = 3;
    options.meters[1] = 6;
    options.logPriors[0] = options.logPriors[1] = 0.0;
    BarPositionModel model(options);
    // Cues every four beats: neither 3 nor 6 fits, and no 4 is on offer.
    for (int i = 0; i < 60; ++i) {
        model.addBeat(cue(i % 4 == 0));
        ASSERT_TRUE(model.beatsPerBar() == 3 || model.beatsPerBar() == 6);
    }
}

TEST(BarPositionModelDeathTest, RefusesBadCandidateMeters) {
    BarPositionModel::Options repeated;
    repeated.meterCount = 2;
    repeated.meters[0] = repeated.meters[1] = 4;
    EXPECT_DEATH(BarPositionModel{repeated}, "each candidate meter once");
    BarPositionModel::Options tooLong;
    tooLong.meters[4] = 9;
    EXPECT_DEATH(BarPositionModel{tooLong}, "beats per bar from 2 to 8");
    BarPositionModel::Options none;
    none.meterCount = 0;
    EXPECT_DEATH(BarPositionModel{none}, "between 1 and 7 candidate meters");
}

TEST(BarPositionModel, ResetForgetsTheBars) {
    BarPositionModel model;
    for (int i = 0; i < 40; ++i) model.addBeat(cue(i % 3 == 2));
    ASSERT_EQ(model.beatsPerBar(), 3);
    model.reset();
    EXPECT_EQ(model.beatsSeen(), 0);
    EXPECT_EQ(model.beatsPerBar(), 4) << "the prior's choice";
    EXPECT_EQ(model.position(0), 1);
}

// ---------------------------------------------------------------------------
// The evidence.

std::vector<BeatEvidence> evidenceOf(const synth::MeterMusic& m, double rate) {
    // The audio goes in as each beat's span is complete (frames older than
    // the kept history would count as missing).
    BarEvidence evidence{static_cast<unsigned>(rate)};
    std::vector<BeatEvidence> out(m.beats.size());
    std::size_t fed = 0;
    for (std::size_t i = 0; i + 1 < m.beats.size(); ++i) {
        while (fed < m.samples.size() && evidence.analysedUntil() < m.beats[i + 1]) {
            const unsigned n = unsigned(std::min<std::size_t>(256, m.samples.size() - fed));
            evidence.addAudio(&m.samples[fed], n);
            fed += n;
        }
        evidence.beatEvidence(m.beats[i], m.beats[i + 1], out[i]);
    }
    out.pop_back();
    return out;
}

TEST(BarEvidence, KickAndHarmonyChangesShowOnTheBeatsThatCarryThem) {
    // Accent: the kick on each bar's first beat is a low onset, the hi-hat on
    // every beat a high one.
    {
        const synth::MeterPiece p = piece(4, 8, synth::BarMark::kAccent, 120.0);
        const synth::MeterMusic m = synth::meterPiece(p);
        const std::vector<BeatEvidence> e = evidenceOf(m, p.sampleRate);
        double lowOn = 1e9, lowOff = 0.0, highMin = 1e9;
        for (std::size_t i = 1; i < e.size(); ++i) {
            ASSERT_TRUE(e[i].audible);
            if (m.positions[i] == 1) {
                lowOn = std::min(lowOn, e[i].lowOnset);
            } else {
                lowOff = std::max(lowOff, e[i].lowOnset);
            }
            highMin = std::min(highMin, e[i].highOnset);
        }
        EXPECT_GT(lowOn, 2.0 * lowOff);
        EXPECT_GT(highMin, 0.0);
    }
    // Harmony: every beat sounds alike but for the notes, which change on the
    // first beat of each bar.
    {
        const synth::MeterPiece p = piece(4, 8, synth::BarMark::kHarmony, 110.0);
        const synth::MeterMusic m = synth::meterPiece(p);
        const std::vector<BeatEvidence> e = evidenceOf(m, p.sampleRate);
        double chromaOn = 1e9, chromaOff = 0.0, bassOn = 1e9, bassOff = 0.0;
        for (std::size_t i = 1; i < e.size(); ++i) {
            if (m.positions[i] == 1) {
                chromaOn = std::min(chromaOn, e[i].chromaChange);
                bassOn = std::min(bassOn, e[i].bassChange);
            } else {
                chromaOff = std::max(chromaOff, e[i].chromaChange);
                bassOff = std::max(bassOff, e[i].bassChange);
            }
        }
        EXPECT_GT(chromaOn, 3.0 * chromaOff);
        EXPECT_GT(bassOn, 3.0 * bassOff);
        // Over two beats either side, known one beat later.
        for (std::size_t i = 4; i < e.size(); ++i) {
            ASSERT_TRUE(e[i].hasPrevious);
            if (m.positions[i - 1] == 1) {
                EXPECT_GT(e[i].previousChromaChange2, chromaOff);
            }
        }
    }
}

TEST(BarEvidence, SilenceIsInaudibleAndWithoutEvidence) {
    synth::MeterMusic m;
    m.samples.assign(10 * 44100, 0.0);
    for (double t = 0.5; t < 9.0; t += 0.5) m.beats.push_back(t);
    for (const BeatEvidence& e : evidenceOf(m, 44100.0)) {
        EXPECT_FALSE(e.audible);
        EXPECT_EQ(e.lowOnset, 0.0);
        EXPECT_EQ(e.highOnset, 0.0);
        EXPECT_EQ(e.chromaChange, 0.0);
        EXPECT_EQ(e.bassChange, 0.0);
    }
}

}  // namespace
