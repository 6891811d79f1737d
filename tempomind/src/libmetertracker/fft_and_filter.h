// In-place radix-2 complex FFT and a direct-form IIR filter with optional
// carried state. Both work on the caller's vectors and never allocate.
#ifndef KADENZO_FFT_AND_FILTER_H
#define KADENZO_FFT_AND_FILTER_H

#include <vector>

// Replaces data (N complex values, interleaved re/im, N a power of two) by
// X[k] = sum_n x[n] exp(isign * 2 pi i n k / N), without scaling.
void fft(std::vector<double>& data, const short& isign);

// Adds the response of the filter b/a to x onto whatever y already holds.
// a[0] is taken to be 1 and never read. y must have the size of x.
void filter_imp(const std::vector<double>& b, const std::vector<double>& a,
                const std::vector<double>& x, std::vector<double>& y);

// Zero-state filter: y = filter(b, a, x).
void filter(const std::vector<double>& b, const std::vector<double>& a,
            const std::vector<double>& x, std::vector<double>& y);

// Filter with state: z holds the initial state on entry and the final state
// on return (transposed direct form II), so consecutive blocks filtered with
// the same z give exactly the output of one call over the whole signal.
void filter(const std::vector<double>& b, const std::vector<double>& a,
            const std::vector<double>& x, std::vector<double>& y, std::vector<double>& z);

#endif
