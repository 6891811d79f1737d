// The meter tracker as the engine sees it: mono audio goes in, and out come,
// per analysis step of half a second, the periods and phases of the tatum,
// beat and bar, plus lists of pulse instants for each level.
//
// mTracker owns the accent front end, the parameter record, one resonator
// bank per channel (groups of adjacent accent bands) and the state of the
// period and phase models, and runs them in order. Times are seconds on the
// accent clock: accent frames counted from construction or the last reset.
//
// The engine reaches it only through the flat mTracker_ functions below. No
// locking: every call on one tracker must be serialised by the caller.
#ifndef METERTRACKER_METERTRACKERC_H
#define METERTRACKER_METERTRACKERC_H

#include <complex>
#include <cstdio>
#include <memory>
#include <vector>

#include "Matrix.h"
#include "accentHistory.h"
#include "enhancedModel.h"
#include "onsets.h"
#include "params.h"
#include "periodModel.h"
#include "phaseModel.h"
#include "pulseTrain.h"
#include "resonatorBanks.h"
#include "stepConfidence.h"
#include "trackingModel.h"

namespace meterTracker {

class mTracker {
  public:
    // The tracking model is chosen here and stays for the tracker's life.
    explicit mTracker(unsigned sampleRate, TrackingModel model = TrackingModel::Classic,
                      const EnhancedStages& stages = EnhancedStages());
    mTracker(const mTracker&) = delete;
    mTracker& operator=(const mTracker&) = delete;
    virtual ~mTracker();

    // New rate for the front end and the parameters, then reset(). The banks
    // are kept unless the number of resonators changes with the rate.
    void setSrate(unsigned sampleRate);
    // Clears all tracking state; banks and shapes stay built.
    void reset();

    // Hands samples to the accent front end; nothing else.
    void addData(const double* samples, unsigned count);
    // Runs every analysis step the buffered audio allows; true when at least
    // one ran. False leaves the tracker's own state unchanged.
    bool process();

    // Copies of the pulse lists (seconds on the accent clock); with a
    // history limit, the pulses kept.
    void getMeters(std::vector<double>& tatum, std::vector<double>& beat,
                   std::vector<double>& bar) const;
    // The pulse list of a pulse cache column (0 beat, 1 bar, 2 tatum), with
    // the count of pulses dropped from its front (see setHistoryLimit).
    const PulseTrain& getPulseTrain(unsigned column) const { return trains_[column]; }

    // Keeps only the last `seconds` of pulse cache rows and pulses (on the
    // accent clock, back from the newest step; the newest row and pulse
    // always stay), so that a tracker running for hours holds a bounded
    // amount; negative keeps everything (the default). The rows and pulses
    // of the latest process call are still there after it returns, so a
    // caller that reads them after every call misses none.
    void setHistoryLimit(double seconds) { historyLimit_ = seconds; }
    // Periods and phase times of the newest analysis step; -1 in all six
    // when no step has run since the last reset.
    void getLatestPeriodEsts(double& tatumPeriod, double& beatPeriod, double& barPeriod,
                             double& tatumPhase, double& beatPhase, double& barPhase) const;
    // beatyness = mean of values (0 for an empty list).
    void calculateBeatyness(std::vector<double>& values);
    // Drops the pulse cache rows up to the last one whose tatum phase lies
    // before time, always keeping the newest row; false when nothing goes.
    bool flushPulseCache(const double& time);

    // How sure the newest step is that there is a steady beat (0 .. 1, see
    // stepConfidence.h); 0 before the first step. Row r of the pulse cache
    // has the confidence getRowConfidence(r).
    double getConfidence() const {
        return rowConfidence_.empty() ? 0.0 : rowConfidence_.back();
    }
    double getRowConfidence(unsigned row) const { return rowConfidence_[row]; }

    TrackingModel getModel() const { return model_; }
    // The enhanced model's stages (null for the classic model).
    const EnhancedModel* getEnhancedModel() const { return enhanced_.get(); }

    // Read access for the flat interface, the command-line tools and tests.
    double getBeatyness() const { return beatyness; }
    Params& getParams() { return params; }
    const Params& getParams() const { return params; }
    // One row per analysis step not yet flushed (row s - flushedRows holds
    // step s); columns 0 beat, 1 bar, 2 tatum; (period, phase time) pairs.
    const NumaMathLibrary::Matrix<std::complex<double> >& getPulseCache() const {
        return pulseCache;
    }
    int getFlushedRows() const { return flushedRows; }
    unsigned getStepsDone() const { return stepsDone; }
    unsigned getFrameCount() const { return frameCount; }
    unsigned getNumChannels() const { return numChannels; }
    // Accent frames per analysis step: round(accentRate / updateRate).
    unsigned getStepHop() const;
    // Inspection of the latest step (tests and diagnostics): the resonance
    // vector v (channel mean of the resonances) and the bias vector u, one
    // value per resonator.
    const std::vector<double>& getResonance() const { return resonance_; }
    const std::vector<double>& getBias() const { return bias_; }

  private:
    void buildBanks();
    void groupChannels(unsigned rows);
    void updateChannelMeans(unsigned rows);
    void computeBias(unsigned lastFrame);
    void runBanks(unsigned firstRow, unsigned hop, double decayOverStep);
    void rebuildPulseLists();
    void dropCacheRows(int count);
    void applyHistoryLimit();
    void recordFrames(unsigned firstColumn, unsigned firstFrame, unsigned count);

    Params params;
    double beatyness;
    unsigned srate;
    double updateRate;
    Onsets onsets;
    NumaMathLibrary::Matrix<double> jointScores;
    NumaMathLibrary::Matrix<double> levelDelays;
    std::vector<double> inputEnergyAcc;
    PhaseTable phaseScores;
    PeriodHistory periodHistory;
    PhaseTable phaseHistory;
    // The pulse lists, one per pulse cache column, extended as steps run.
    PulseTrain trains_[3];
    // Set by flushPulseCache: the lists are rebuilt from the rows left.
    bool rebuildTrains_ = false;
    double historyLimit_ = -1.0;
    std::unique_ptr<ResonatorBanks> resonators;  // the channels' banks, side by side
    unsigned numChannels;
    std::vector<double> channelMeans;
    unsigned frameCount;
    NumaMathLibrary::Matrix<std::complex<double> > pulseCache;
    unsigned stepsDone;
    int flushedRows;

    TrackingModel model_;
    std::unique_ptr<EnhancedModel> enhanced_;  // null for the classic model
    AccentHistory accents_;
    StepConfidence confidence_;
    std::vector<double> rowConfidence_;  // per pulse cache row
    std::vector<double> frameChannels_;  // one frame's channel values

    // Scratch kept from call to call so that steps do not allocate.
    PeriodModel periodModel_;
    PhaseModel phaseModel_;
    NumaMathLibrary::Matrix<double> envelopes_;       // bands x frames from the front end
    NumaMathLibrary::Matrix<double> channelSignals_;  // frames x numChannels, mean removed
    NumaMathLibrary::Matrix<double> phaseObservations_;
    std::vector<double> bias_;       // u
    std::vector<double> resonance_;  // v
    std::vector<double> inputEnergy_;  // per channel
    std::vector<double> lineSums_;     // one channel's sums of squares per resonator
};

}  // namespace meterTracker

// ----------------------------------------------------------- flat interface
// Every function takes a tracker created by mTracker_init; apart from
// mTracker_close (null ignored) none checks it.

meterTracker::mTracker* mTracker_init(int sampleRate);
// A tracker of the given model (classic or enhanced, all stages on).
meterTracker::mTracker* mTracker_init_model(int sampleRate, meterTracker::TrackingModel model);
void mTracker_close(meterTracker::mTracker* tracker);
void mTracker_reset(meterTracker::mTracker* tracker);
void mTracker_add_data(meterTracker::mTracker* tracker, const double* samples, int count);
// 1 when at least one analysis step ran, otherwise 0.
int mTracker_process(meterTracker::mTracker* tracker);
// Periods (s) and phase times (s, accent clock) of the latest step, or -1 in
// all six before the first step after a reset.
void mTracker_get_period_est(meterTracker::mTracker* tracker, double* tatumPeriod,
                             double* beatPeriod, double* barPeriod, double* tatumPhase,
                             double* beatPhase, double* barPhase);
// Per level (tatum, beat, bar): *count in is the array's capacity n; the
// newest min(size, n) pulse times go to the array oldest first, the rest of
// its n entries become 0, and *count out is the number copied.
void mTracker_get_ticks(meterTracker::mTracker* tracker, double* tatum, int* tatumCount,
                        double* beat, int* beatCount, double* bar, int* barCount);
double mTracker_get_beatyness(meterTracker::mTracker* tracker);
// How sure the newest step is of a steady beat, 0 .. 1 (stepConfidence.h).
double mTracker_get_confidence(meterTracker::mTracker* tracker);
// See mTracker::setHistoryLimit: keeps about the last `seconds` of pulse
// cache rows and pulses; negative keeps everything.
void mTracker_set_history_limit(meterTracker::mTracker* tracker, double seconds);
// Medians (s) of the period priors; effective from the next analysis step.
void mTracker_change_myyValues(meterTracker::mTracker* tracker, double barMyy, double beatMyy,
                               double tatumMyy);
// New resonator half time in seconds; returns the new decayPerSample.
double mTracker_change_half_time(meterTracker::mTracker* tracker, double seconds);
// Writes "3", then for tatum, beat and bar the count and one "%.9f" line per
// pulse time. A null path does nothing; a file that cannot be opened gets one
// message on standard error.
void mTracker_dump_metfile(meterTracker::mTracker* tracker, const char* path);

// Copies the newest min(size, n) values, in order, to dst[0 ...], zeroes the
// rest of dst up to n - 1 and returns the number copied.
int copy_nvals(std::vector<double>& values, double* dst, int n);
// The element count ("%d\n"), then every element ("%.9f\n").
void print_vector(std::vector<double> values, FILE* file);

#endif
