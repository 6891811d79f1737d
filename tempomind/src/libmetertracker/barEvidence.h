// Evidence, per beat, that the beat starts a bar: a light spectral analysis of
// its own, fed with the tracker's audio as it arrives, read out one beat at a
// time as the beat grid moves on.
//
// Analysis, kept cheap (with the model, about 8 % of the classic tracker's
// time: bench_downbeat against bench_tracker). The audio is
// decimated by D = round(rate / 11025) to r = rate / D through a third-order
// moving-average filter of length D (zeros at the multiples of r, where the
// aliases would fold onto the low bands), then by 2 and by 2 again, to r / 2
// and r / 4, through a 15-tap Blackman-windowed half-band sinc. Hann windows
// without zero end points throughout:
//   onset frames, 128 samples at r / 2 every H = round(r / 2 / 86.1328125)
//     (about 11.6 ms): in three bands (50-170 Hz, 170-800 Hz, 800-2500 Hz)
//     the band amplitude a = sqrt(sum |X_k|^2) / (128 / 4); for a fourth,
//     high band the same of the first difference of the audio at r over the
//     frame's span (256 samples, a high-pass rising 6 dB per octave); each
//     compressed to v = log(1 + 1000 a) and differenced, half-wave rectified;
//   tonal frames, 512 samples at r / 4 (186 ms at 11025 Hz: 5.4 Hz bins)
//     every 256: per bin from 40 Hz to 0.45 r / 4 (1240 Hz at 11025 Hz; at
//     most 2 kHz) the magnitude |X_k| / (512 / 4).
// Frame times are their centres on the input clock, the filters' delays taken
// off.
//
// Per beat, with the span [start, end) running to the next beat (at most
// kMaxSegmentSeconds long):
//   lowOnset, highOnset: the largest onset value of the lowest and the highest
//     band within 35 ms of the beat (kick and bass against snare and cymbal);
//   the span's spectrum: per bin the median over the tonal frames in the span
//     (a median, so that drum hits do not count as harmony), compressed to
//     log(1 + 1000 m) and folded into pitch classes twice: from 100 Hz up
//     (harmony) and 40-200 Hz (bass);
//   chromaChange, bassChange: cosine distance between the previous span's
//     pitch classes and this one's (harmonic change at the beat);
//   chromaChange2, bassChange2 of the previous beat: the same between the two
//     spans before it and the two from it on, known one beat later;
//   rhythm: the onset values of the four bands at 8 equal steps through the
//     span (the largest within each step), square-rooted: the beat's pattern.
// A span whose onset bands all stay below -80 dB (a < 1e-4) is not audible.
//
// No allocation after construction; no locking: the owner serialises calls.
#ifndef METERTRACKER_BAREVIDENCE_H
#define METERTRACKER_BAREVIDENCE_H

#include <vector>

#include "fastRealFft.h"

namespace meterTracker {

struct BeatEvidence {
    static constexpr int kRhythmBands = 4;
    static constexpr int kRhythmSteps = 8;
    static constexpr int kRhythmSize = kRhythmBands * kRhythmSteps;

    bool audible = false;
    double lowOnset = 0.0;
    double highOnset = 0.0;
    double chromaChange = 0.0;
    double bassChange = 0.0;
    // Of the previous beat; hasPrevious false until four spans are known.
    bool hasPrevious = false;
    double previousChromaChange2 = 0.0;
    double previousBassChange2 = 0.0;
    double rhythm[kRhythmSize] = {};  // band-major: rhythm[band * kRhythmSteps + step]
    // A bar start proposed for this beat by another model (see
    // DownbeatTracker::addBarCue): 1 or 0; barCueKnown false when none is used.
    bool barCueKnown = false;
    double barCue = 0.0;
};

class BarEvidence {
  public:
    static constexpr double kMaxSegmentSeconds = 2.0;
    static constexpr double kOnsetWindowSeconds = 0.035;
    // Frames are kept this long, so a beat may be read out this late.
    static constexpr double kHistorySeconds = 6.0;

    // Any rate from 8000 Hz on.
    explicit BarEvidence(unsigned sampleRate);

    // Forgets all audio and beats; the stream clock starts again at 0.
    void reset();

    // Mono samples in stream order; sample n is at time n / rate.
    void addAudio(const double* samples, unsigned count);

    // Time up to which both frame streams are complete: every frame centred
    // before it has been analysed (the audio has reached about 0.1 s past it).
    double analysedUntil() const;
    // Seconds of audio received.
    double audioSeconds() const { return double(inputCount_) / sampleRate_; }

    // Evidence of the beat spanning [start, end); beats in time order, each
    // once. Frames outside the kept history count as missing. Call only when
    // analysedUntil() >= end, or at the end of the stream.
    void beatEvidence(double start, double end, BeatEvidence& out);

  private:
    void pushFull(double y);
    double halfBand(const std::vector<double>& ring, long count) const;
    void analyseReadyFrames();
    void analyseOnsetFrame();
    void analyseTonalFrame();
    void spanSpectrum(double start, double end, std::vector<double>& out);
    double largestOnset(int band, double from, double to) const;
    static double cosineDistance(const double* a, const double* b, int n);

    unsigned sampleRate_;
    unsigned factor_;      // D
    double rate_;          // r = rate / D
    unsigned onsetHop_;    // H, at r / 2
    double halfDelay_;     // seconds, of the audio at r / 2
    double quarterDelay_;  // at r / 4

    // Decimation by D: the filter and the inputs it still needs.
    std::vector<double> taps_;
    std::vector<double> work_;
    long inputCount_ = 0;
    std::vector<double> halfTaps_;  // decimation by 2, twice

    // Audio at r, r / 2 and r / 4 (rings holding each value twice) and counts.
    std::vector<double> fullAudio_, halfAudio_, quarterAudio_;
    long fullCount_ = 0, halfCount_ = 0, quarterCount_ = 0;
    long onsetFrames_ = 0;  // frames analysed so far
    long tonalFrames_ = 0;

    FastRealFft onsetFft_;
    FastRealFft tonalFft_;
    std::vector<double> onsetWindow_, highWindow_, tonalWindow_;
    std::vector<double> frame_, re_, im_;
    int onsetBandFirst_[BeatEvidence::kRhythmBands];
    int onsetBandEnd_[BeatEvidence::kRhythmBands];
    double previousBand_[BeatEvidence::kRhythmBands];

    // Onset values, onsetRows_ frames x (4 bands, level), ring by frame number.
    std::vector<float> onsets_;
    unsigned onsetRows_;
    // Tonal magnitudes, tonalBins_ bins x tonalRows_ frames (ring by frame).
    std::vector<float> tonal_;
    unsigned tonalRows_;
    int tonalFirstBin_;
    int tonalBins_;
    std::vector<int> pitchClass_;  // per kept bin
    std::vector<char> inChroma_, inBass_;

    // Per-bin scratch for the medians, and the span spectrum.
    std::vector<float> column_;
    std::vector<double> span_;

    // Pitch classes of the last four spans, newest last.
    double chroma_[4][12] = {};
    double bass_[4][12] = {};
    int spans_ = 0;
};

}  // namespace meterTracker

#endif
