#include "solvePattPhase.h"

#include "maxSearch.h"
#include "round.h"

namespace meterTracker {

namespace {

// Channel sum with rising weights (k + 1) for channel k.
double weightedChannelSum(const NumaMathLibrary::Matrix<double>& m, unsigned row) {
    const double* values = m[row];
    double sum = 0.0;
    for (unsigned k = 0; k < m.nCols(); ++k) sum += (k + 1) * values[k];
    return sum;
}

}  // namespace

unsigned solvePattPhase(const NumaMathLibrary::Matrix<double>& m, std::vector<double>& out) {
    const unsigned tau = m.nRows();
    const unsigned channels = m.nCols();
    out.assign(tau, 0.0);
    if (tau == 0) return 0;

    // Offsets of the second, third and fourth quarter of the bar.
    const unsigned q1 = round(1 * tau * 0.25);
    const unsigned q2 = round(2 * tau * 0.25);
    const unsigned q3 = round(3 * tau * 0.25);

    double channelWeightSum = 0.0;  // 1 + 2 + ... + Nc
    for (unsigned k = 1; k <= channels; ++k) channelWeightSum += k;
    const double S = channelWeightSum;

    for (unsigned j = 0; j < tau; ++j) {
        const unsigned s1 = (j + q1) % tau;
        const unsigned s2 = (j + q2) % tau;
        const unsigned s3 = (j + q3) % tau;
        const double lowAtDownbeat = (channels > 0) ? m[j][0] : 0.0;
        const double lowAtLastQuarter = (channels > 0) ? m[s3][0] : 0.0;
        // Accents on the second and fourth quarter, the downbeat strongest.
        const double first = 2.1 * (weightedChannelSum(m, s1) + weightedChannelSum(m, s3) +
                                    lowAtLastQuarter * (0.4738 * S) + lowAtDownbeat * (1.1665 * S));
        // Accent on the third quarter and a strong low downbeat.
        const double second = weightedChannelSum(m, s2) * 3.0314 +
                              weightedChannelSum(m, s3) * 0.8123 + lowAtLastQuarter * (0.19 * S) +
                              lowAtDownbeat * (2.1496 * S);
        out[j] = (second > first) ? second : first;
    }
    return static_cast<unsigned>(firstMaxIndex(out.data(), out.size()));
}

}  // namespace meterTracker
