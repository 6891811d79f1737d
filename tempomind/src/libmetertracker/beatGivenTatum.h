// Likelihood that periods are integer multiples of a given, shorter period:
// the period model scores beat candidates given a tatum period, and bar
// candidates given a beat period, with it.
#ifndef METERTRACKER_BEATGIVENTATUM_H
#define METERTRACKER_BEATGIVENTATUM_H

#include <vector>

namespace meterTracker {

// out[j] = sum over i = 0..8 of w_i / (ratioSigma sqrt(2 pi))
//          * exp(-0.5 ((periods[j] - given (i + 1)) / (ratioSigma given))^2)
// with w the weights normalised to sum 1: Gaussian bumps of width
// ratioSigma * given at the multiples 1 .. 9 of given, weighted per ratio.
// weights must hold at least nine values (the weights of ratios 1 .. 9; all
// of them count in the normalisation). out is resized to the size of periods
// and must not be periods itself.
void beatGivenTatum(const std::vector<double>& periods, const double& given,
                    const double& ratioSigma, const std::vector<double>& weights,
                    std::vector<double>& out);

}  // namespace meterTracker

#endif
