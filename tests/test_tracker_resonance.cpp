// The arithmetic of the tracker's analysis step, checked against a plain
// reference written from the step's definition: band envelopes grouped into
// channels, running channel means, per-sample comb filters kept as whole
// output histories, leaky input energies, the bias vector and the resonance
// vector. The reference shares only the accent front end with the tracker.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Matrix.h"
#include "meterTrackerC.h"
#include "onsets.h"
#include "params.h"
#include "synthetic_drums.h"

namespace {

const unsigned kRate = 44100;

class ReferenceStep {
  public:
    ReferenceStep() : params_(kRate), onsets_(kRate) {
        bankGains_ = params_.feedbackGains;
        bankDecay_ = params_.decayPerSample;
        const unsigned N = params_.numDelays;
        outputs_.assign(kChannels, std::vector<std::vector<double> >(N));
        means_.assign(kChannels, 0.0);
        energy_.assign(kChannels, 0.0);
    }

    meterTracker::Params& params() { return params_; }

    void addData(const std::vector<double>& x) {
        onsets_.addData(x.data(), static_cast<unsigned>(x.size()));
    }

    // One process call of the tracker, written out plainly.
    void process() {
        ASSERT_TRUE(onsets_.process());
        const unsigned G = onsets_.getGroupDelay();
        const unsigned hop = 86;
        NumaMathLibrary::Matrix<double> E;
        ASSERT_TRUE(onsets_.getBandEnvs(E, frameCount_));
        const unsigned F = E.nCols();
        ASSERT_GE(frameCount_ + F, G + hop);
        const unsigned steps = (frameCount_ + F - G - hop) / hop + 1;
        ASSERT_GT(steps, stepsDone_);

        // Channels: sums of 9 adjacent bands; running means over all rows.
        std::vector<std::vector<double> > X(F, std::vector<double>(kChannels, 0.0));
        for (unsigned r = 0; r < F; ++r)
            for (unsigned b = 0; b < E.nRows(); ++b) X[r][b / 9] += E[b][r];
        for (unsigned c = 0; c < kChannels; ++c) {
            for (unsigned r = 0; r < F; ++r) {
                const double k = frameCount_ + r;
                means_[c] = (means_[c] * k + X[r][c]) / (k + 1);
            }
            for (unsigned r = 0; r < F; ++r) X[r][c] -= means_[c];
        }

        const unsigned f0 = frameCount_;
        const unsigned N = params_.numDelays;
        const double D = params_.decayPerSample;
        for (unsigned s = stepsDone_; s < steps; ++s) {
            const unsigned n = s * hop + hop - 1;
            bias_.assign(N, 0.0);
            for (unsigned i = 0; i < N; ++i) {
                const double g = params_.feedbackGains[i];
                const double cycles = std::ceil((n + 1.0) / params_.delays[i]);
                bias_[i] = (1.0 - std::pow(g, 2.0 * cycles)) * params_.gainNorms[i].real();
            }
            resonance_.assign(N, 0.0);
            for (unsigned c = 0; c < kChannels; ++c) {
                // The block's input energy, leaky-integrated with the bank's
                // own decay, and the running total with the current one.
                double blockEnergy = 0.0;
                for (unsigned j = 0; j < hop; ++j) {
                    const double x = X[s * hop + j - f0][c];
                    blockEnergy = bankDecay_ * blockEnergy + x * x;
                    for (unsigned i = 0; i < N; ++i) {
                        std::vector<double>& y = outputs_[c][i];
                        const unsigned T = params_.delays[i];
                        const double delayed =
                            y.size() >= T ? bankGains_[i] * y[y.size() - T] : 0.0;
                        y.push_back((1.0 - bankGains_[i]) * x + delayed);
                    }
                }
                energy_[c] = std::pow(D, hop) * energy_[c] + blockEnergy;
                for (unsigned i = 0; i < N; ++i) {
                    // Mean square of the last T outputs as the delay line
                    // holds them (times the bank's gain), over the current gain.
                    const std::vector<double>& y = outputs_[c][i];
                    const unsigned T = params_.delays[i];
                    double sum = 0.0;
                    for (unsigned m = 0; m < T; ++m) {
                        const double held =
                            y.size() >= T - m ? bankGains_[i] * y[y.size() - T + m] : 0.0;
                        sum += held * held;
                    }
                    const double g = params_.feedbackGains[i];
                    const double meanSquare = sum / (g * g) / T;
                    const double r = meanSquare / ((1.0 - D) * energy_[c]) - bias_[i];
                    resonance_[i] += r >= 0.0 ? r : 0.0;
                }
            }
            for (double& v : resonance_) v /= kChannels;
            frameCount_ = n + 1;
        }
        stepsDone_ = steps;
        onsets_.clearBandEnvs(frameCount_, true);
    }

    const std::vector<double>& resonance() const { return resonance_; }
    const std::vector<double>& bias() const { return bias_; }
    unsigned stepsDone() const { return stepsDone_; }

  private:
    static const unsigned kChannels = 4;
    meterTracker::Params params_;
    Onsets onsets_;
    std::vector<double> bankGains_;
    double bankDecay_;
    std::vector<std::vector<std::vector<double> > > outputs_;  // [channel][resonator][sample]
    std::vector<double> means_, energy_, bias_, resonance_;
    unsigned frameCount_ = 0, stepsDone_ = 0;
};

std::vector<double> piece(const std::vector<double>& x, double from, double to) {
    return std::vector<double>(x.begin() + static_cast<long>(from * kRate),
                               x.begin() + static_cast<long>(to * kRate));
}

void expectClose(const std::vector<double>& actual, const std::vector<double>& expected,
                 const char* what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    int nonzero = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], 1e-9 * std::fabs(expected[i]) + 1e-15)
            << what << " at " << i;
        nonzero += expected[i] != 0.0 ? 1 : 0;
    }
    EXPECT_GT(nonzero, static_cast<int>(expected.size()) / 10) << what << " is mostly zero";
}

synth::Music music() {
    synth::DrumPattern p;
    p.bpm = 113.0;
    p.seconds = 6.0;
    return synth::drums(p);
}

TEST(TrackerResonance, MatchesThePlainReferenceOverSeveralCalls) {
    const std::vector<double> x = music().samples;
    meterTracker::mTracker tracker(kRate);
    ReferenceStep reference;
    // Uneven calls: rows beyond the last step are received (and counted in
    // the channel means) again by the next call.
    for (auto range :
         {std::make_pair(0.0, 1.7), std::make_pair(1.7, 2.9), std::make_pair(2.9, 5.2)}) {
        const std::vector<double> block = piece(x, range.first, range.second);
        tracker.addData(block.data(), static_cast<unsigned>(block.size()));
        ASSERT_TRUE(tracker.process());
        reference.addData(block);
        reference.process();
        ASSERT_EQ(tracker.getStepsDone(), reference.stepsDone());
        expectClose(tracker.getResonance(), reference.resonance(), "resonance");
        expectClose(tracker.getBias(), reference.bias(), "bias");
    }
}

TEST(TrackerResonance, AfterAHalfTimeChangeTheBanksKeepTheirGains) {
    const std::vector<double> x = music().samples;
    meterTracker::mTracker tracker(kRate);
    ReferenceStep reference;
    const std::vector<double> first = piece(x, 0.0, 2.5), second = piece(x, 2.5, 5.0);
    tracker.addData(first.data(), static_cast<unsigned>(first.size()));
    tracker.process();
    reference.addData(first);
    reference.process();

    // New decay, gains and norms for the bias, energies and mean squares;
    // the banks go on filtering with the gains and decay they were built with.
    tracker.getParams().changeHalfTime(7.0);
    reference.params().changeHalfTime(7.0);
    tracker.addData(second.data(), static_cast<unsigned>(second.size()));
    ASSERT_TRUE(tracker.process());
    reference.addData(second);
    reference.process();
    expectClose(tracker.getResonance(), reference.resonance(), "resonance");
    expectClose(tracker.getBias(), reference.bias(), "bias");
}

}  // namespace
