#include "params.h"

#include <cmath>

#include "round.h"

namespace meterTracker {

namespace {

// Gains this close to 1 (infinite half time) get the fixed pair (2, 0).
const double kUnitGainTolerance = 2.220446049250313e-16;
const double kLn2 = 0.6931471805599453;
const double kDefaultHalfTimeSeconds = 3.0;
const double kLongestLagSeconds = 4.0;

// The power of two at or above one hundredth of the sample rate.
unsigned hopLengthFor(double rate) {
    return static_cast<unsigned>(std::pow(2.0, std::ceil(std::log(0.01 * rate) / kLn2)));
}

}  // namespace

Params::Params(const unsigned& rate)
    : hopLength(hopLengthFor(rate)),
      envelopesPerHop(2),
      numBands(36),
      bandsPerChannel(9),
      numDelays(0),
      resonatorHop(0.0),
      beatMyy(0.55),
      beatSigma(0.28),
      barMyy(2.1),
      barSigma(0.26),
      tatumMyy(0.18),
      tatumSigma(0.39),
      ratioSigma(0.3),
      ratioWeights{0.9020073524848866,  1.0,
                   0.7302768106235606,  1.1438508100093516,
                   0.443270652313484,   0.8863431230976493,
                   0.43706546371614174, 0.796691092092133,
                   0.6586692681470597},
      numPeriodCandidates(5),
      periodTransSigmas{0.1, 0.1, 0.1},
      numPhaseCandidates(15),
      phaseTransSigma(0.1),
      beatObsWeight(1),
      barObsWeight(1),
      tatumObsWeight(3),
      beatPriorExponent(0.31),
      barPriorExponent(0.29),
      tatumPriorExponent(0.16),
      logFloor(1e-60),
      sampleRate(rate) {
    accentRate = rate * 2.0 / hopLength;
    frameLength = 2 * hopLength;
    halfTimeSamples = kDefaultHalfTimeSeconds * accentRate;
    rebuildResonatorTables();
}

void Params::setSrate(const unsigned& rate) {
    computeFrameSizes(rate);
    halfTimeSamples = kDefaultHalfTimeSeconds * accentRate;
    rebuildResonatorTables();
    sampleRate = rate;
}

double Params::changeHalfTime(double seconds) {
    computeFrameSizes(sampleRate);
    halfTimeSamples = seconds * accentRate;
    rebuildResonatorTables();
    return decayPerSample;
}

void Params::computeFrameSizes(double rate) {
    hopLength = hopLengthFor(rate);
    accentRate = envelopesPerHop * rate / hopLength;
    frameLength = 2 * hopLength;
}

void Params::rebuildResonatorTables() {
    const unsigned n = round(kLongestLagSeconds * accentRate);
    delays.resize(n);
    for (unsigned i = 0; i < n; ++i) delays[i] = i + 1;
    numDelays = n;

    feedbackGains.resize(numDelays);
    for (unsigned i = 0; i < numDelays; ++i)
        feedbackGains[i] = std::pow(0.5, delays[i] / halfTimeSamples);

    gainNorms.resize(numDelays);
    for (unsigned i = 0; i < numDelays; ++i) {
        const double g = feedbackGains[i];
        if (std::fabs(g - 1.0) < kUnitGainTolerance) {
            gainNorms[i] = std::complex<double>(2.0, 0.0);
        } else {
            const double ratio = std::fabs((1.0 - g) / (g + 1.0));
            gainNorms[i] =
                std::complex<double>((1.0 - g) * (1.0 - g) / (1.0 - g * g), ratio * ratio);
        }
    }

    decayHalfTime = halfTimeSamples;
    decayPerSample = std::pow(0.5, 1.0 / halfTimeSamples);
}

}  // namespace meterTracker
