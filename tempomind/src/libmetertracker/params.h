// Parameter record of the meter tracker: sizes, rates, constants and model
// weights used by the resonator banks, the period and phase models and the
// tracker driver. Built from the input sample rate alone; time quantities are
// expressed in samples of the accent signal.
#ifndef METERTRACKER_PARAMS_H
#define METERTRACKER_PARAMS_H

#include <complex>
#include <vector>

namespace meterTracker {

class Params {
  public:
    explicit Params(const unsigned& sampleRate);
    Params(const Params&) = default;
    Params& operator=(const Params&) = default;
    virtual ~Params() = default;

    // Rebuilds the rate-dependent fields for another input rate; the half
    // time returns to its 3-second default. Model constants are untouched.
    void setSrate(const unsigned& sampleRate);

    // Sets the resonator half time to `seconds` and rebuilds the resonator
    // tables; returns the new decayPerSample.
    double changeHalfTime(double seconds);

    double accentRate;                             // Hz, rate of the band envelopes
    unsigned frameLength;                          // input samples per analysis frame
    unsigned hopLength;                            // input samples between analysis frames
    unsigned envelopesPerHop;                      // accent samples produced per hop
    unsigned numBands;                             // bands delivered by the accent front end
    unsigned bandsPerChannel;                      // adjacent bands summed into one channel
    double halfTimeSamples;                        // accent samples; resonator half time
    std::vector<unsigned> delays;                  // 1 .. round(4 * accentRate)
    unsigned numDelays;                            // size of delays
    std::vector<double> feedbackGains;             // 0.5^(delay / halfTimeSamples)
    std::vector<std::complex<double> > gainNorms;  // normalisation pair per resonator
    double decayHalfTime;                          // copy of halfTimeSamples
    double decayPerSample;                         // 0.5^(1 / halfTimeSamples)
    double resonatorHop;                           // output hop handed to each bank
    double beatMyy;                                // s, median of the beat prior
    double beatSigma;
    double barMyy;  // s, median of the bar prior
    double barSigma;
    double tatumMyy;  // s, median of the tatum prior
    double tatumSigma;
    double ratioSigma;                      // relative spread of the ratio likelihood
    std::vector<double> ratioWeights;       // weights of the period ratios 1 .. 9
    unsigned numPeriodCandidates;           // per level; 5^3 joint states
    std::vector<double> periodTransSigmas;  // beat, bar, tatum
    unsigned numPhaseCandidates;            // per level
    double phaseTransSigma;                 // fraction of the period
    unsigned beatObsWeight;
    unsigned barObsWeight;
    unsigned tatumObsWeight;
    double beatPriorExponent;
    double barPriorExponent;
    double tatumPriorExponent;
    double logFloor;    // added to every likelihood before its logarithm
    double sampleRate;  // Hz, kept for changeHalfTime

  private:
    // hopLength, accentRate (envelopesPerHop * rate / hopLength), frameLength.
    void computeFrameSizes(double rate);
    // delays, numDelays, feedbackGains, gainNorms, decayHalfTime, decayPerSample.
    void rebuildResonatorTables();
};

}  // namespace meterTracker

#endif
