// Synthetic music with known bars, for the downbeat stage's tests: a beat
// grid whose bars are marked in one chosen way only (a kick accent on the
// first beat, or the bass and chord changing on it while every beat sounds
// alike), bar lengths that may change, and silent stretches.
#ifndef KADENZO_TESTS_SYNTHETIC_METER_H
#define KADENZO_TESTS_SYNTHETIC_METER_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "synthetic_drums.h"

namespace synth {

enum class BarMark {
    kAccent,   // kick on each bar's first beat; the same hi-hat on every beat
    kHarmony,  // the same kick and hi-hat on every beat; bass and chord, struck on
               // every beat, change to new notes on each bar's first beat
};

struct MeterPiece {
    double bpm = 120.0;
    std::vector<int> bars;  // beats per bar, bar by bar
    BarMark mark = BarMark::kAccent;
    double firstBeat = 0.5;
    double sampleRate = 44100.0;
    double silenceFrom = -1.0;  // seconds; audio in [silenceFrom, silenceTo) is 0
    double silenceTo = -1.0;
    double tail = 1.0;  // seconds after the last beat
    std::uint32_t seed = 3;
};

struct MeterMusic {
    std::vector<double> samples;
    std::vector<double> beats;     // seconds
    std::vector<int> positions;    // per beat, 1 = first beat of a bar
    std::vector<int> beatsPerBar;  // per beat, its bar's length
};

namespace detail {

// A tone with four harmonics (so that its pitch class shows at several
// partials), a soft attack and a decay over about half a second.
inline void addTone(std::vector<double>& out, double at, double length, double freq, double gain,
                    double fs) {
    const std::size_t start = static_cast<std::size_t>(at * fs);
    for (std::size_t i = 0; i < static_cast<std::size_t>(length * fs) && start + i < out.size();
         ++i) {
        const double t = i / fs;
        const double envelope = std::min(1.0, t / 0.01) * std::exp(-t / 0.6);
        double v = 0.0;
        for (int h = 1; h <= 4; ++h) v += std::sin(2.0 * M_PI * h * freq * t) / h;
        out[start + i] += gain * envelope * v;
    }
}

inline double midiHz(int note) {
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

}  // namespace detail

inline MeterMusic meterPiece(const MeterPiece& p) {
    MeterMusic m;
    const double fs = p.sampleRate;
    const double beat = 60.0 / p.bpm;
    int beatCount = 0;
    for (int b : p.bars) beatCount += b;
    const double seconds = p.firstBeat + beatCount * beat + p.tail;
    m.samples.assign(static_cast<std::size_t>(seconds * fs), 0.0);
    Noise noise(p.seed);
    // Bass roots with major triads above them, C and D major in turn: two
    // bars in a row share no pitch class.
    static const int kRoots[2] = {36, 38};  // C2, D2
    double t = p.firstBeat;
    for (std::size_t bar = 0; bar < p.bars.size(); ++bar) {
        const int root = kRoots[bar % 2];
        for (int k = 0; k < p.bars[bar]; ++k, t += beat) {
            m.beats.push_back(t);
            m.positions.push_back(k + 1);
            m.beatsPerBar.push_back(p.bars[bar]);
            const double velocity = 0.9 + 0.1 * noise.next();
            if (p.mark == BarMark::kAccent) {
                if (k == 0) detail::addKick(m.samples, t, 0.9 * velocity, fs);
                detail::addHat(m.samples, t, 0.4 * velocity, fs, noise);
            } else {
                detail::addKick(m.samples, t, 0.6 * velocity, fs);
                detail::addHat(m.samples, t, 0.4 * velocity, fs, noise);
                detail::addTone(m.samples, t, beat, detail::midiHz(root), 0.25, fs);
                for (int interval : {12, 16, 19})
                    detail::addTone(m.samples, t, beat, detail::midiHz(root + interval), 0.08, fs);
            }
        }
    }
    if (p.silenceTo > p.silenceFrom && p.silenceFrom >= 0.0) {
        const std::size_t a = static_cast<std::size_t>(p.silenceFrom * fs);
        const std::size_t b =
            std::min(m.samples.size(), static_cast<std::size_t>(p.silenceTo * fs));
        for (std::size_t i = a; i < b; ++i) m.samples[i] = 0.0;
    }
    for (double& s : m.samples) s *= 0.6;
    return m;
}

}  // namespace synth

#endif
