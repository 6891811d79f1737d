// Spectrum of a real frame: the N-point DFT X[k] = sum_n x[n] exp(-2 pi i n k / N)
// for k = 0 .. N/2, computed as an N/2-point complex FFT of the even and odd
// samples packed as real and imaginary parts, with the twiddles and the
// bit-reversal order tabulated once. The front end runs one such transform
// for every half frame of audio, so it is built for speed; the general
// in-place fft() stays the reference it is tested against.
#ifndef METERTRACKER_REALFFT_H
#define METERTRACKER_REALFFT_H

#include <vector>

class RealFft {
  public:
    // N a power of two, at least 4.
    explicit RealFft(unsigned N);

    unsigned size() const { return n_; }

    // x: N samples. re, im: N/2 + 1 values each.
    void forward(const double* x, double* re, double* im);

  private:
    unsigned n_;
    unsigned half_;
    std::vector<unsigned> bitReversed_;  // half_ entries
    std::vector<double> twiddleRe_;      // per butterfly stage from span 4 on
    std::vector<double> twiddleIm_;
    std::vector<double> splitRe_;        // exp(-2 pi i k / N), k <= half_ / 2
    std::vector<double> splitIm_;
    std::vector<double> workRe_;
    std::vector<double> workIm_;
};

#endif
