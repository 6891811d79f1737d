#include "fastRealFft.h"

#include <cstring>
#include <vector>

#include "precondition.h"

#ifdef KADENZO_HAVE_FFTW
#include <fftw3.h>

#include <map>
#include <mutex>
#endif

namespace {

bool isPowerOfTwoFromFour(unsigned N) {
    return N >= 4 && (N & (N - 1)) == 0;
}

#ifdef KADENZO_HAVE_FFTW
// One plan per size, made on first use and kept for the process's life (a
// plan is a few kilobytes), so that copies of a transform share it. FFTW's
// planner is not thread-safe, so plans are made under a lock; executing a
// plan on new arrays is thread-safe. At exit the plans and FFTW's own
// planner memory are released.
class PlanCache {
  public:
    ~PlanCache() {
        for (auto& entry : plans_) fftw_destroy_plan(entry.second);
        fftw_cleanup();
    }

    fftw_plan planFor(unsigned N, double* in, fftw_complex* out) {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = plans_.find(N);
        if (found != plans_.end()) return found->second;
        // FFTW_ESTIMATE leaves the arrays alone, and without FFTW_UNALIGNED
        // the plan asks for arrays aligned as FFTW's own allocator aligns
        // them, which every Buffers is.
        fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(N), in, out, FFTW_ESTIMATE);
        TM_PRECONDITION(plan != nullptr, "FFTW makes a real-to-complex plan");
        plans_.emplace(N, plan);
        return plan;
    }

  private:
    std::mutex lock_;
    std::map<unsigned, fftw_plan> plans_;
};

fftw_plan planFor(unsigned N, double* in, fftw_complex* out) {
    static PlanCache cache;
    return cache.planFor(N, in, out);
}
#endif

}  // namespace

#ifdef KADENZO_HAVE_FFTW
struct FastRealFft::Buffers {
    explicit Buffers(unsigned N)
        : in(fftw_alloc_real(N)), out(fftw_alloc_complex(N / 2 + 1)), plan(nullptr) {
        TM_PRECONDITION(in != nullptr && out != nullptr, "FFTW buffers allocated");
        plan = planFor(N, in, out);
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    ~Buffers() {
        fftw_free(in);
        fftw_free(out);
    }
    double* in;
    fftw_complex* out;
    fftw_plan plan;
};
#else
struct FastRealFft::Buffers {
    explicit Buffers(unsigned N)
        : reference(N), in(N), re(N / 2 + 1), im(N / 2 + 1), out(N + 2) {}
    RealFft reference;
    std::vector<double> in, re, im, out;
};
#endif

FastRealFft::FastRealFft(unsigned N) : n_(N) {
    TM_PRECONDITION(isPowerOfTwoFromFour(N), "N is a power of two, at least 4");
    buffers_ = std::make_unique<Buffers>(N);
}

FastRealFft::FastRealFft(const FastRealFft& other)
    : n_(other.n_), buffers_(std::make_unique<Buffers>(other.n_)) {}

FastRealFft& FastRealFft::operator=(const FastRealFft& other) {
    if (this != &other) {
        n_ = other.n_;
        buffers_ = std::make_unique<Buffers>(other.n_);
    }
    return *this;
}

FastRealFft::FastRealFft(FastRealFft&&) noexcept = default;
FastRealFft& FastRealFft::operator=(FastRealFft&&) noexcept = default;
FastRealFft::~FastRealFft() = default;

bool FastRealFft::usesFftw() {
#ifdef KADENZO_HAVE_FFTW
    return true;
#else
    return false;
#endif
}

double* FastRealFft::input() {
#ifdef KADENZO_HAVE_FFTW
    return buffers_->in;
#else
    return buffers_->in.data();
#endif
}

const double* FastRealFft::transform() {
#ifdef KADENZO_HAVE_FFTW
    fftw_execute_dft_r2c(buffers_->plan, buffers_->in, buffers_->out);
    double* out = buffers_->out[0];
#else
    buffers_->reference.forward(buffers_->in.data(), buffers_->re.data(), buffers_->im.data());
    double* out = buffers_->out.data();
    for (unsigned k = 0; k <= n_ / 2; ++k) {
        out[2 * k] = buffers_->re[k];
        out[2 * k + 1] = buffers_->im[k];
    }
#endif
    out[1] = 0.0;
    out[n_ + 1] = 0.0;
    return out;
}

void FastRealFft::forward(const double* x, double* re, double* im) {
#ifdef KADENZO_HAVE_FFTW
    const unsigned half = n_ / 2;
    std::memcpy(buffers_->in, x, n_ * sizeof(double));
    fftw_execute_dft_r2c(buffers_->plan, buffers_->in, buffers_->out);
    const fftw_complex* out = buffers_->out;
    for (unsigned k = 0; k <= half; ++k) {
        re[k] = out[k][0];
        im[k] = out[k][1];
    }
    im[0] = 0.0;
    im[half] = 0.0;
#else
    buffers_->reference.forward(x, re, im);
#endif
}
