// The front end's real transform: the same spectrum as RealFft (X[k] for
// k = 0 .. N/2 of N real samples), computed with FFTW where the build has it
// (its vectorised codelets, chosen at run time for the processor, are about
// four times as fast as the tabulated radix-2 transform at N = 1024) and with
// RealFft otherwise. RealFft stays the reference: the two agree to the
// rounding of the last few bits.
//
// Plans are made once per size for the whole process, under a lock, with
// FFTW's estimating planner, so the choice of algorithm does not depend on
// timing and results are the same from run to run. Making a transform may
// allocate and lock; forward() does neither and may run on any thread, one
// call per object at a time.
#ifndef METERTRACKER_FASTREALFFT_H
#define METERTRACKER_FASTREALFFT_H

#include <memory>

#include "realFft.h"

class FastRealFft {
  public:
    // N a power of two, at least 4.
    explicit FastRealFft(unsigned N);
    FastRealFft(const FastRealFft& other);
    FastRealFft& operator=(const FastRealFft& other);
    FastRealFft(FastRealFft&&) noexcept;
    FastRealFft& operator=(FastRealFft&&) noexcept;
    ~FastRealFft();

    unsigned size() const { return n_; }

    // x: N samples. re, im: N/2 + 1 values each; im[0] and im[N/2] are 0.
    void forward(const double* x, double* re, double* im);

    // The same transform without copies: write the N samples to input(),
    // then transform() returns the spectrum interleaved, X[k] = (out[2k],
    // out[2k + 1]) for k = 0 .. N/2, valid until the next call.
    double* input();
    const double* transform();

    // True when forward() runs FFTW's transform rather than RealFft's.
    static bool usesFftw();

  private:
    struct Buffers;
    unsigned n_;
    std::unique_ptr<Buffers> buffers_;
};

#endif
