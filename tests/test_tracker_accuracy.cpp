// Beat tracking accuracy on synthetic drum music with known beats: tempi
// from 70 to 180 BPM, 4/4 and 3/4, straight and swung eighths. After the
// first 5 s, at least 90 % of the reported beats lie within 70 ms of a true
// beat or of a beat at double tempo (a true beat or the midpoint between two;
// half tempo falls on true beats), and the median beat period is within 2 %
// of the true one or of its half or double. These are floors that catch
// regressions, not the tracker's typical figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <vector>

#include "meterTrackerC.h"
#include "synthetic_drums.h"

namespace {

const double kSettle = 5.0;       // seconds before the tracker is judged
const double kTolerance = 0.070;  // seconds
const double kAccentRate = 172.265625;

struct Case {
    double bpm;
    int beatsPerBar;
    bool swing;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.bpm << " BPM " << c.beatsPerBar << "/4" << (c.swing ? " swung" : " straight");
}

class TrackerAccuracy : public testing::TestWithParam<Case> {};

TEST_P(TrackerAccuracy, BeatsAndTempoMatchTheTruth) {
    const Case c = GetParam();
    synth::DrumPattern pattern;
    pattern.bpm = c.bpm;
    pattern.beatsPerBar = c.beatsPerBar;
    pattern.swing = c.swing ? 2.0 / 3.0 : 0.5;
    pattern.seconds = 30.0;
    pattern.firstBeat = 0.1 + 0.37 * std::fmod(c.bpm, 7.0) / 7.0;  // vary the offset
    pattern.seed = static_cast<std::uint32_t>(c.bpm) * 10 + c.beatsPerBar;
    const synth::Music music = synth::drums(pattern);

    meterTracker::mTracker tracker(44100);
    for (std::size_t i = 0; i < music.samples.size(); i += 128) {
        tracker.addData(&music.samples[i], static_cast<unsigned>(std::min<std::size_t>(
                                               128, music.samples.size() - i)));
        tracker.process();
    }
    std::vector<double> tatum, beats, bars;
    tracker.getMeters(tatum, beats, bars);

    // True beats and the double-tempo grid (beats plus midpoints).
    std::vector<double> grid = music.beats;
    for (std::size_t i = 0; i + 1 < music.beats.size(); ++i)
        grid.push_back(0.5 * (music.beats[i] + music.beats[i + 1]));
    std::sort(grid.begin(), grid.end());
    auto distance = [&grid](double t) {
        const auto it = std::lower_bound(grid.begin(), grid.end(), t);
        double d = 1e9;
        if (it != grid.end()) d = std::min(d, *it - t);
        if (it != grid.begin()) d = std::min(d, t - *(it - 1));
        return d;
    };

    int judged = 0, hits = 0;
    for (double t : beats) {
        if (t < kSettle) continue;
        ++judged;
        hits += distance(t) <= kTolerance ? 1 : 0;
    }
    const double trueBeats = std::count_if(music.beats.begin(), music.beats.end(),
                                           [](double t) { return t >= kSettle; });
    // Some beats at all: at least most of the half-tempo beats, at most double tempo.
    EXPECT_GE(judged, 0.45 * trueBeats);
    EXPECT_LE(judged, 2.2 * trueBeats);
    EXPECT_GE(hits, 0.9 * judged) << hits << " of " << judged << " beats within 70 ms";

    const auto& cache = tracker.getPulseCache();
    std::vector<double> periods;
    for (unsigned r = 0; r < cache.nRows(); ++r)
        if ((r + 1) * 86 / kAccentRate >= kSettle) periods.push_back(cache[r][0].real());
    ASSERT_FALSE(periods.empty());
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    const double median = periods[periods.size() / 2];
    const double truth = 60.0 / c.bpm;
    const double error =
        std::min({std::fabs(median / truth - 1.0), std::fabs(median / (2.0 * truth) - 1.0),
                  std::fabs(median / (0.5 * truth) - 1.0)});
    EXPECT_LE(error, 0.02) << "median beat period " << median << " s, truth " << truth << " s";
}

std::vector<Case> allCases() {
    std::vector<Case> cases;
    // At 135 BPM the beat lag (76.6 accent frames) falls between two
    // resonators while its double lands on one: in 4/4 the tracker moves to
    // half tempo partway through, which the half/double rule accepts.
    for (double bpm : {70.0, 85.0, 100.0, 120.0, 135.0, 140.0, 160.0, 180.0})
        for (int meter : {4, 3})
            for (bool swing : {false, true}) cases.push_back({bpm, meter, swing});
    return cases;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    return std::to_string(static_cast<int>(info.param.bpm)) + "bpm_" +
           std::to_string(info.param.beatsPerBar) + "_4_" +
           (info.param.swing ? "swung" : "straight");
}

INSTANTIATE_TEST_SUITE_P(DrumPatterns, TrackerAccuracy, testing::ValuesIn(allCases()), caseName);

}  // namespace
