// Synthetic drum music with known beats, for accuracy tests and benchmarks of
// the meter tracker: kick, snare and hi-hat patterns (4/4 or 3/4, straight or
// swung eighths) plus a bass note on every bar, at a constant tempo.
#ifndef KADENZO_TESTS_SYNTHETIC_DRUMS_H
#define KADENZO_TESTS_SYNTHETIC_DRUMS_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace synth {

struct DrumPattern {
    double bpm = 120.0;
    int beatsPerBar = 4;  // 4 or 3
    double swing = 0.5;   // where the off-beat eighth falls within the beat; 2/3 swings
    double seconds = 30.0;
    double firstBeat = 0.3;  // time of the first downbeat, seconds
    double sampleRate = 44100.0;
    std::uint32_t seed = 1;
};

struct Music {
    std::vector<double> samples;  // mono, roughly -1 .. 1
    std::vector<double> beats;    // seconds
    std::vector<double> bars;     // seconds, the downbeats
};

// Small deterministic noise source (the same on every platform).
class Noise {
  public:
    explicit Noise(std::uint32_t seed) : state_(seed * 2654435761u + 12345u) {}
    double next() {  // uniform in [-1, 1)
        state_ = state_ * 1664525u + 1013904223u;
        return static_cast<double>(state_ >> 8) / 8388608.0 - 1.0;
    }

  private:
    std::uint32_t state_;
};

namespace detail {

inline void addKick(std::vector<double>& out, double at, double gain, double fs) {
    const std::size_t start = static_cast<std::size_t>(at * fs);
    double phase = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.35 * fs) && start + i < out.size();
         ++i) {
        const double t = i / fs;
        const double freq = 50.0 + 90.0 * std::exp(-t / 0.03);
        phase += 2.0 * M_PI * freq / fs;
        out[start + i] += gain * std::exp(-t / 0.12) * std::sin(phase);
    }
}

inline void addSnare(std::vector<double>& out, double at, double gain, double fs, Noise& noise) {
    const std::size_t start = static_cast<std::size_t>(at * fs);
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.25 * fs) && start + i < out.size();
         ++i) {
        const double t = i / fs;
        const double body = std::sin(2.0 * M_PI * 185.0 * t) * std::exp(-t / 0.05);
        out[start + i] += gain * (0.6 * noise.next() * std::exp(-t / 0.07) + 0.4 * body);
    }
}

inline void addHat(std::vector<double>& out, double at, double gain, double fs, Noise& noise) {
    const std::size_t start = static_cast<std::size_t>(at * fs);
    double previous = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(0.06 * fs) && start + i < out.size();
         ++i) {
        const double t = i / fs;
        const double white = noise.next();
        out[start + i] += gain * 0.5 * (white - previous) * std::exp(-t / 0.015);
        previous = white;
    }
}

inline void addBass(std::vector<double>& out, double at, double length, double freq, double gain,
                    double fs) {
    const std::size_t start = static_cast<std::size_t>(at * fs);
    for (std::size_t i = 0; i < static_cast<std::size_t>(length * fs) && start + i < out.size();
         ++i) {
        const double t = i / fs;
        const double envelope = std::min(1.0, t / 0.005) * std::exp(-t / 0.4);
        out[start + i] += gain * envelope * std::sin(2.0 * M_PI * freq * t);
    }
}

}  // namespace detail

// Kick on the downbeat (and on beat 3 in 4/4), snare on the other main
// backbeats, hi-hat on every eighth (the off-beat one placed by swing), a bass
// note on each downbeat; small pseudo-random velocity changes.
inline Music drums(const DrumPattern& p) {
    Music m;
    const double fs = p.sampleRate;
    m.samples.assign(static_cast<std::size_t>(p.seconds * fs), 0.0);
    Noise noise(p.seed);
    const double beat = 60.0 / p.bpm;
    static const double kBassNotes[4] = {55.0, 73.42, 65.41, 49.0};
    int index = 0;
    for (double t = p.firstBeat; t < p.seconds; t += beat, ++index) {
        const int position = index % p.beatsPerBar;
        const double velocity = 0.85 + 0.15 * noise.next();
        m.beats.push_back(t);
        if (position == 0) {
            m.bars.push_back(t);
            detail::addKick(m.samples, t, 0.9 * velocity, fs);
            detail::addBass(m.samples, t, beat * p.beatsPerBar * 0.9,
                            kBassNotes[(index / p.beatsPerBar) % 4], 0.25, fs);
        } else if (p.beatsPerBar == 4 && position == 2) {
            detail::addKick(m.samples, t, 0.8 * velocity, fs);
        } else {
            detail::addSnare(m.samples, t, 0.5 * velocity, fs, noise);
        }
        detail::addHat(m.samples, t, 0.35 * velocity, fs, noise);
        detail::addHat(m.samples, t + p.swing * beat, 0.22 * velocity, fs, noise);
    }
    for (double& s : m.samples) s *= 0.7;
    return m;
}

// The pattern at one tempo until the first beat at or after change_at, from
// there at bpm_after, to `seconds` in all: a tempo step on a beat, as a band
// makes it.
inline Music tempo_change(const DrumPattern& before, double change_at, double bpm_after,
                          double seconds) {
    const double beat = 60.0 / before.bpm;
    const double step =
        before.firstBeat + std::ceil((change_at - before.firstBeat) / beat - 1e-9) * beat;
    DrumPattern first = before;
    first.seconds = step;
    DrumPattern second = before;
    second.bpm = bpm_after;
    second.firstBeat = step;
    second.seconds = seconds;
    second.seed = before.seed + 1;
    Music a = drums(first);
    Music m = drums(second);  // silent before the step
    for (std::size_t i = 0; i < a.samples.size() && i < m.samples.size(); ++i)
        m.samples[i] += a.samples[i];
    // The bars go on counting across the step: the second part's bars start
    // on its first beat, a downbeat when the first part ends on a bar line.
    a.beats.insert(a.beats.end(), m.beats.begin(), m.beats.end());
    a.bars.insert(a.bars.end(), m.bars.begin(), m.bars.end());
    m.beats = a.beats;
    m.bars = a.bars;
    return m;
}

}  // namespace synth

#endif
