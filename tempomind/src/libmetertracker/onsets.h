// Accent front end: turns mono audio into ERB-band envelopes at the accent
// rate (4 * fs / N, 172.265625 Hz at 44100 Hz) and keeps their band sum, the
// accent signal, for the onset queries.
//
// Per analysis frame of N samples (hop N/2): running normalisation, Hann
// window, FFT, triangular ERB-band power and log compression; then per band:
// up-sampling by two, a 6th-order Butterworth low-pass at 10 Hz carried from
// block to block, half-wave rectification and a weighted, rectified first
// difference. The low-pass output of the newest G envelope samples is not
// final yet; the filter's zero-input continuation (the predicted tail) stands
// in for it, so callers get envelopes without the filter's delay.
//
// Lifecycle: addData* -> process (true) -> getBandEnvs -> clearBandEnvs.
// No locking: the owner serialises every call.
#ifndef METERTRACKER_ONSETS_H
#define METERTRACKER_ONSETS_H

#include <vector>

#include "Matrix.h"
#include "fastRealFft.h"

class Onsets {
  public:
    // The share of the Nyquist frequency the bands cover: nothing above it
    // reaches the band envelopes.
    static constexpr double kBandTopShareOfNyquist = 0.9;

    // Builds the state for a supported rate (44100, 32000, 22050, 16000 or
    // 8000 Hz); any other rate prints the supported list and stops.
    explicit Onsets(unsigned int srate);
    Onsets(const Onsets&) = default;
    Onsets(Onsets&&) = default;
    Onsets& operator=(const Onsets&) = default;
    Onsets& operator=(Onsets&&) = default;
    virtual ~Onsets() = default;

    // Stores the rate, rebuilds the window when the frame length changes, resets.
    void setSrate(unsigned int srate);
    // Returns everything but the window to the state right after construction.
    void reset();

    // Appends samples to the buffer of audio not yet analysed.
    void addData(const double* samples, const unsigned int& count);
    void addData(const std::vector<double>& samples);

    // Analyses every whole frame in the buffer; true when new columns were added.
    bool process();

    // Band envelopes (bands x columns) from stream column `start` on, aligned
    // in time: column k is time start + k; the last G columns are predictions.
    // False (out untouched) when nothing usable is stored.
    bool getBandEnvs(NumaMathLibrary::Matrix<double>& out, unsigned int start);
    // Discards stored columns before stream column `start` (and accent values
    // too when alsoAccents); false when start lies beyond the stored columns.
    bool clearBandEnvs(unsigned int start, bool alsoAccents);

    // Number G of newest columns handed out by getBandEnvs that are predictions.
    unsigned int getGroupDelay() const { return groupDelay_; }
    // Stream column one past the newest that getBandEnvs would cover after a
    // process() now: the stored columns plus two for every whole frame in
    // the buffer. A caller that needs a number of columns can leave the
    // audio in the buffer until they are there: the envelopes do not depend
    // on how the audio was cut into runs, and one long run costs less than
    // many short ones.
    unsigned int columnEndAfterProcess() const;
    // Accent (envelope) rate 4 * fs / N in Hz.
    double getAccentSrate() const;

    // Folds the samples into the running statistics; returns mean and standard deviation.
    void getMeanAndStd(double& mean, double& std, std::vector<double>& samples);

    // Analysis of one run of whole frames (samples holds N + (N/2)(F - 1)
    // values; non-finite ones are set to 0 and magnitudes capped at 1e100):
    // envs becomes bands x 2F, accents 2F band sums, envRate the envelope
    // rate. Updates the running statistics, the filter state, the predicted
    // tail and G, and finishes the last stored column. Each frame is
    // normalised by the statistics up to its own last sample; after a first
    // run, the first N/2 samples are taken to be the previous run's last ones,
    // already in the statistics, as process arranges. True when the previous
    // run's last column was corrected.
    bool meterFFTenvs(NumaMathLibrary::Matrix<double>& envs, std::vector<double>& accents,
                      double& envRate, std::vector<double>& samples, double srate);

    // Delay-compensated accent signal; element t belongs to stream column t,
    // the last G elements are predictions. False while nothing is analysed.
    bool accentFix(std::vector<double>& accents);
    // The same from stream column `start` on.
    bool getAccents(std::vector<double>& accents, unsigned int start);
    // Onset times (column / accent rate * scale) picked from accentFix.
    bool getOnsets(std::vector<double>& times, const double& scale, double threshold);

    // Peak picker behind getOnsets: local maxima above the (rate-scaled)
    // threshold, weighed by their height over the preceding valley, the
    // weaker of two within 0.085 s dropped.
    static void detectOnsets(std::vector<unsigned int>& onsets, const std::vector<double>& accents,
                             const double& envRate, double srate, double threshold);

    // count + 1 ERB-spaced edges from low to high (edges[count] = high).
    static void freqBands(std::vector<double>& edges, double low, double high, int count);
    // 6th-order Butterworth low-pass from the stored designs (first row whose
    // nominal cut-off lies within 0.01 of Wn); pass-through when none does.
    static void butter6stored(std::vector<double>& b, std::vector<double>& a, double Wn);
    // Index of the first strictly greatest value of the filter's impulse response.
    static int grpDelayAverage(const std::vector<double>& b, const std::vector<double>& a,
                               int length);
    static double hz2erb(double hz);
    static double erb2hz(double erb);
    // floor(x) when x - floor(x) < 0.5, otherwise ceil(x).
    static double roundHalfUp(double x);

  private:
    inline void foldSample(double v);
    // Cleans n samples in place and folds them into the statistics: the
    // same values as cleanSample and, to rounding, the same statistics as
    // foldSample, faster.
    void cleanAndFoldSamples(double* samples, std::size_t n);
    void buildWindow(unsigned int frameLength);
    void buildBandLayout(double srate, unsigned int N, unsigned int B);
    // Band sums of one frame's magnitudes, compressed into column (B values).
    void bandPowers(const double* magnitudes, double* column, unsigned int B) const;
    void appendToHistories(const NumaMathLibrary::Matrix<double>& envs,
                           const std::vector<double>& accents);
    bool bandHistoryIsPlaceholder() const;
    bool accentHistoryIsPlaceholder() const;

    unsigned int srate_ = 0;

    std::vector<double> buffer_;  // audio not yet analysed
    bool bufferEmpty_ = true;
    bool newData_ = false;
    // Leading samples of the buffer that earlier runs already folded into the
    // statistics (the overlap with the previous frame), so that every sample
    // is counted once.
    unsigned int bufferFolded_ = 0;

    // Running statistics over every sample analysed so far.
    double count_ = 0.0;
    double mean_ = 0.0;
    double variance_ = 0.0;

    std::vector<double> window_;  // Hann, no zero end points

    NumaMathLibrary::Matrix<double> filterState_;  // 6 x bands: state i of band b at [i][b]
    NumaMathLibrary::Matrix<double> bandHistory_;  // bands x columns, oldest first
    unsigned int firstColumn_ = 0;                 // stream column of bandHistory_'s first
    std::vector<double> accentHistory_;
    unsigned int accentFirstColumn_ = 0;
    NumaMathLibrary::Matrix<double> tail_;  // bands x G, differenced
    unsigned int groupDelay_ = 0;
    std::vector<double> previousLast_;  // per band, rectified but not differenced
    bool havePrevious_ = false;
    double envRate_ = 0.0;

    // Low-pass design in use and the cut-off it was looked up for.
    double designWn_ = -1.0;
    std::vector<double> lowpassB_;
    std::vector<double> lowpassA_;
    int impulsePeak_ = 0;

    // Scratch reused from call to call, so that steady operation allocates
    // only for the growing histories.
    FastRealFft spectrum_{4};
    std::vector<double> magnitudes_;  // one frame's, of the bins the bands use
    // Band layout: band b sums taps bandTapStart_[b] .. bandTapStart_[b + 1] - 1.
    double bandLayoutRate_ = 0.0;
    unsigned int bandLayoutN_ = 0, bandLayoutBands_ = 0;
    std::vector<unsigned int> bandTapStart_, bandTapBin_;
    unsigned int bandBins_ = 0;  // bins 0 .. bandBins_ - 1 carry taps
    std::vector<double> bandTapWeight_;
    std::vector<double> noise_;
    std::vector<double> state_;
    std::vector<double> kept_;
    std::vector<double> columns_, tailColumns_;  // a run's envelopes and tail, column-major
    NumaMathLibrary::Matrix<double> blockEnvs_;
    std::vector<double> blockAccents_;
};

#endif
