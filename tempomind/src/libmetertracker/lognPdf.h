// Log-normal probability density, the shape of the tracker's period priors.
#ifndef METERTRACKER_LOGNPDF_H
#define METERTRACKER_LOGNPDF_H

#include <vector>

namespace meterTracker {

// out[i] = exp(c^2 / (-2 sigma^2)) / (x[i] sigma sqrt(2 pi)) with c = ln(x[i] / myy):
// the density at x[i] of a log-normal distribution with median myy and shape
// sigma. out is resized to the size of x.
void lognPdf(const std::vector<double>& x, const double& myy, const double& sigma,
             std::vector<double>& out);

// The same density for a single value.
void lognPdf(const double& x, const double& myy, const double& sigma, double& out);

}  // namespace meterTracker

#endif
