#include "fft_and_filter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "precondition.h"

void fft(std::vector<double>& data, const short& isign) {
    const std::size_t M = data.size();
    if (M < 2) return;

    // Positions below are 1-based in doubles: position p is data[p - 1].
    // Bit-reversal reordering of the complex values.
    std::size_t j = 1;
    for (std::size_t i = 1; i < M; i += 2) {
        if (j > i) {
            std::swap(data[j - 1], data[i - 1]);
            std::swap(data[j], data[i]);
        }
        std::size_t m = M / 2;
        while (m >= 2 && j > m) {
            j -= m;
            m /= 2;
        }
        j += m;
    }

    // Butterfly stages with the sine-based twiddle recurrence; the literal
    // below (not the double nearest 2 pi) fixes the rounding of the twiddles.
    std::size_t mmax = 2;
    while (M > mmax) {
        const std::size_t istep = 2 * mmax;
        const double theta = isign * (6.28318530717959 / static_cast<double>(mmax));
        double wtemp = std::sin(0.5 * theta);
        const double wpr = -2.0 * wtemp * wtemp;
        const double wpi = std::sin(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (std::size_t m = 1; m < mmax; m += 2) {
            for (std::size_t i = m; i <= M; i += istep) {
                const std::size_t k = i + mmax;
                const double tr = wr * data[k - 1] - wi * data[k];
                const double ti = wr * data[k] + wi * data[k - 1];
                data[k - 1] = data[i - 1] - tr;
                data[k] = data[i] - ti;
                data[i - 1] += tr;
                data[i] += ti;
            }
            wtemp = wr;
            wr = wtemp * wpr - wi * wpi + wr;
            wi = wi * wpr + wtemp * wpi + wi;
        }
        mmax = istep;
    }
}

void filter_imp(const std::vector<double>& b, const std::vector<double>& a,
                const std::vector<double>& x, std::vector<double>& y) {
    const std::size_t x_size = x.size();
    TM_PRECONDITION(x_size == y.size(), "x_size == y.size()");
    TM_PRECONDITION(x_size != 0, "x_size != 0");
    const std::size_t nb = b.size();
    const std::size_t na = a.size();
    if (nb > 0) y[0] += b[0] * x[0];
    for (std::size_t n = 1; n < x_size; ++n) {
        double acc = y[n];
        const std::size_t kb = std::min(n + 1, nb);  // k = 0 .. min(n, nb - 1)
        for (std::size_t k = 0; k < kb; ++k) acc += b[k] * x[n - k];
        const std::size_t ka = na > 0 ? std::min(n + 1, na) : 0;  // k = 1 .. min(n, na - 1)
        for (std::size_t k = 1; k < ka; ++k) acc -= a[k] * y[n - k];
        y[n] = acc;
    }
}

void filter(const std::vector<double>& b, const std::vector<double>& a,
            const std::vector<double>& x, std::vector<double>& y) {
    for (double& v : y) v = 0.0;
    filter_imp(b, a, x, y);
}

void filter(const std::vector<double>& b, const std::vector<double>& a,
            const std::vector<double>& x, std::vector<double>& y, std::vector<double>& z) {
    const std::size_t x_size = x.size();
    TM_PRECONDITION(x_size == y.size(), "x_size == y.size()");
    const std::size_t N = x_size;
    const std::size_t L = z.size();

    // The initial state enters as an additive pre-load of the output.
    for (std::size_t n = 0; n < N; ++n) y[n] = n < L ? z[n] : 0.0;
    filter_imp(b, a, x, y);

    const std::size_t nb = b.size();
    const std::size_t na = a.size();
    for (std::size_t j = 0; j < L; ++j) {
        // State older than the block shifts down by N.
        if (j >= N) z[j - N] += z[j];
        // Contributions of the block's last samples to state element j:
        // the sample index N - 1 - (m - j - 1) = N + j - m must stay >= 0.
        double forward = 0.0;
        for (std::size_t m = j + 1; m < nb && m <= N + j; ++m) forward += b[m] * x[N + j - m];
        double feedback = 0.0;
        for (std::size_t m = j + 1; m < na && m <= N + j; ++m) feedback += a[m] * y[N + j - m];
        z[j] = forward - feedback;
    }
}
