// The accent front end against references computed outside the code under
// test (tests/oracles/onsets_reference.py, numpy/scipy): the stored low-pass
// designs, their impulse-response peaks, the ERB band edges and the whole
// analysis at every supported rate.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "oracle_data.h"
#include "test_onsets_support.h"

using NumaMathLibrary::Matrix;
using onsets_test::worstError;

namespace {

struct StoredRow {
    double matched;  // cut-off a requested Wn is matched against
    double design;   // cut-off the row was designed for
    std::vector<double> b, a;
};

// A cut-off that selects the row: the nominal one, except for rows whose
// nominal value lies within 0.01 of an earlier row's and is taken by it.
double probeFor(double matched) {
    if (matched == 0.08) return 0.072;  // 0.08 itself selects 0.0871
    if (matched == 0.12) return 0.128;  // 0.12 itself selects 0.1161
    if (matched == 0.24) return 0.245;  // 0.24 itself selects 0.2322
    return matched;
}

std::vector<StoredRow> scipyRows() {
    const auto arrays = oracle::read("butter.txt");
    std::vector<StoredRow> rows;
    for (std::size_t i = 0; i + 3 < arrays.size(); i += 4)
        rows.push_back({arrays[i][0], arrays[i + 1][0], arrays[i + 2], arrays[i + 3]});
    return rows;
}

// The stored rows are the bilinear designs at their cut-offs. They agree with
// scipy.signal.butter(6, Wn) to rounding of the coefficient computation:
// b within 1e-11 relative, a within 1e-12 absolute.
TEST(LowpassDesigns, EveryRowIsTheButterworthDesignAtItsCutoff) {
    const auto rows = scipyRows();
    ASSERT_EQ(rows.size(), 13u);
    for (const StoredRow& row : rows) {
        SCOPED_TRACE("row " + std::to_string(row.matched));
        std::vector<double> b, a;
        testing::internal::CaptureStderr();
        Onsets::butter6stored(b, a, probeFor(row.matched));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_EQ(b.size(), 7u);
        ASSERT_EQ(a.size(), 7u);
        EXPECT_LE(worstError(b.data(), row.b.data(), 7, 0.0, 1e-11), 1.0);
        EXPECT_LE(worstError(a.data(), row.a.data(), 7, 1e-12, 0.0), 1.0);
        // Numerator b0 (1 + z^-1)^6, unit DC gain.
        const double binomial[7] = {1, 6, 15, 20, 15, 6, 1};
        for (int i = 0; i < 7; ++i) EXPECT_NEAR(b[i], b[0] * binomial[i], 1e-12 * b[i]) << i;
        double sb = 0, sa = 0;
        for (int i = 0; i < 7; ++i) sb += b[i], sa += a[i];
        EXPECT_NEAR(sb / sa, 1.0, 1e-6);
    }
}

// The two rows the supported rates use hold exactly these values.
TEST(LowpassDesigns, RowsInUseHoldTheirStoredValues) {
    struct Case {
        double Wn;
        double b[4];
        double a[6];
    };
    const Case cases[] = {
        {10.0 / 86.1328125,
         {1.934821074187553e-05, 0.0001160892644512532, 0.000290223161128133,
          0.0003869642148375107},
         {-4.592236133523747, 8.918281529847143, -9.353758411594637, 5.578960297450523,
          -1.791904459442157, 0.2418954627503554}},
        {10.0 / 62.5,
         {0.0001070688974214216, 0.0006424133845285293, 0.001606033461321323, 0.002141377948428431},
         {-4.061643999213436, 7.099503818750704, -6.785016025397502, 3.723019428891598,
          -1.108670855343532, 0.1396600417471391}},
    };
    for (const Case& c : cases) {
        std::vector<double> b, a;
        Onsets::butter6stored(b, a, c.Wn);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(b[i], c.b[i]) << i;
            EXPECT_EQ(b[6 - i], c.b[i]) << i;
        }
        EXPECT_EQ(a[0], 1.0);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(a[i + 1], c.a[i]) << i;
    }
}

TEST(LowpassDesigns, FirstRowWithinTolerancePicksTheDesign) {
    const auto rows = scipyRows();
    auto rowFor = [&](double matched) {
        for (const StoredRow& r : rows)
            if (r.matched == matched) return r;
        ADD_FAILURE() << "no row " << matched;
        return rows[0];
    };
    struct Case {
        double Wn;
        double expectedRow;
    };
    // Ranges overlap and the order decides: 0.08 and 0.085 lie within 0.01
    // of 0.0871, 0.12 of 0.1161 and 0.24 of 0.2322.
    const Case cases[] = {{0.085, 0.0871}, {0.08, 0.0871}, {0.072, 0.08},  {0.1161, 0.1161},
                          {0.12, 0.1161},  {0.128, 0.12},  {0.24, 0.2322}, {0.245, 0.24},
                          {0.16, 0.16},    {0.155, 0.16},  {0.035, 0.029}, {0.065, 0.058},
                          {0.475, 0.48},   {0.325, 0.32},  {0.35, 0.3483}, {0.18, 0.1741}};
    for (const Case& c : cases) {
        std::vector<double> b, a;
        Onsets::butter6stored(b, a, c.Wn);
        const StoredRow expected = rowFor(c.expectedRow);
        EXPECT_LE(worstError(b.data(), expected.b.data(), 7, 0.0, 1e-11), 1.0) << c.Wn;
        EXPECT_LE(worstError(a.data(), expected.a.data(), 7, 1e-12, 0.0), 1.0) << c.Wn;
    }
}

TEST(LowpassDesigns, UnknownCutoffPassesThroughAndSaysSo) {
    for (double Wn : {0.7, 0.0, 0.2, 1.0}) {
        std::vector<double> b(3, 9.0), a;
        testing::internal::CaptureStderr();
        Onsets::butter6stored(b, a, Wn);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown cutoff frequency.\n") << Wn;
        const std::vector<double> unit = {1, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(b, unit);
        EXPECT_EQ(a, unit);
    }
}

TEST(ImpulsePeak, MatchesScipyForEveryStoredRow) {
    const auto rows = scipyRows();
    const auto peaks = oracle::read("impulse_peaks.txt").at(0);
    ASSERT_EQ(peaks.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::vector<double> b, a;
        Onsets::butter6stored(b, a, probeFor(rows[i].matched));
        EXPECT_EQ(Onsets::grpDelayAverage(b, a, 199), static_cast<int>(peaks[i]))
            << rows[i].matched;
    }
    // The rows in use: peaks 12 and 9, so G = 11 at 172.265625 Hz and 8 at 125 Hz.
    std::vector<double> b, a;
    Onsets::butter6stored(b, a, 0.1161);
    EXPECT_EQ(Onsets::grpDelayAverage(b, a, 199), 12);
    Onsets::butter6stored(b, a, 0.16);
    EXPECT_EQ(Onsets::grpDelayAverage(b, a, 199), 9);
}

TEST(ImpulsePeak, FirstStrictMaximumAboveZero) {
    const std::vector<double> one = {1.0};
    // An FIR filter's impulse response is b itself.
    EXPECT_EQ(Onsets::grpDelayAverage({0.1, 0.5, 0.5, 0.2}, one, 10), 1);  // tie: first
    EXPECT_EQ(Onsets::grpDelayAverage({-1.0, -2.0}, one, 10), 0);          // nothing above 0
    EXPECT_EQ(Onsets::grpDelayAverage({0.0, 0.0, 0.0}, one, 10), 0);
    EXPECT_EQ(Onsets::grpDelayAverage({0.0, 0.0, 1.0}, one, 2), 0);  // peak beyond the length
    EXPECT_EQ(Onsets::grpDelayAverage({0.0, 1.0}, one, 0), 0);       // nothing to filter
}

TEST(ErbScale, ConversionsAndTheirConstants) {
    EXPECT_NEAR(Onsets::hz2erb(50.0), 1.8329474941504185, 1e-14);
    EXPECT_NEAR(Onsets::hz2erb(1000.0), 21.365541873789756 * std::log10(5.368), 1e-13);
    for (double f : {0.0, 50.0, 440.0, 19845.0})
        EXPECT_NEAR(Onsets::erb2hz(Onsets::hz2erb(f)), f, 1e-9 * (1 + f));
}

// The analysis divides the ERB range from 50 Hz to 0.45 fs into B + 1 steps,
// which is freqBands over B + 1 bands.
TEST(ErbScale, BandEdgesAtEveryRate) {
    const unsigned int bands[][2] = {{44100, 36}, {32000, 36}, {22050, 18}, {16000, 18}, {8000, 9}};
    for (const auto& rb : bands) {
        const auto expected = oracle::read("erb_edges_" + std::to_string(rb[0]) + ".txt").at(0);
        ASSERT_EQ(expected.size(), rb[1] + 2);
        std::vector<double> edges(rb[1] + 2);
        Onsets::freqBands(edges, 50.0, 0.45 * rb[0], static_cast<int>(rb[1] + 1));
        EXPECT_LE(worstError(edges.data(), expected.data(), edges.size(), 0.0, 1e-12), 1.0)
            << rb[0];
    }
    // Hand values at 44100 Hz.
    std::vector<double> edges(38);
    Onsets::freqBands(edges, 50.0, 19845.0, 37);
    EXPECT_NEAR(edges[0], 50.0, 1e-9);
    EXPECT_NEAR(edges[1], 84.174, 5e-4);
    EXPECT_NEAR(edges[2], 122.536, 5e-4);
    EXPECT_NEAR(edges[36], 17654.047, 5e-4);
    EXPECT_EQ(edges[37], 19845.0);
}

TEST(ErbScale, FreqBandsGrowsAShortVectorAndKeepsExtraElements) {
    std::vector<double> shortEdges;
    Onsets::freqBands(shortEdges, 100.0, 1000.0, 4);
    ASSERT_EQ(shortEdges.size(), 5u);
    EXPECT_NEAR(shortEdges[0], 100.0, 1e-9);
    EXPECT_EQ(shortEdges[4], 1000.0);
    for (int i = 0; i < 4; ++i) EXPECT_LT(shortEdges[i], shortEdges[i + 1]);

    std::vector<double> longEdges(8, -7.0);
    Onsets::freqBands(longEdges, 100.0, 1000.0, 4);
    EXPECT_EQ(longEdges.size(), 8u);
    EXPECT_EQ(longEdges[5], -7.0);
    EXPECT_EQ(std::vector<double>(longEdges.begin(), longEdges.begin() + 5), shortEdges);
}

TEST(RoundHalfUp, HalvesGoUp) {
    const double cases[][2] = {{2.5, 3},   {2.4999, 2}, {2.0, 2},   {-0.5, 0},
                               {-1.5, -1}, {-1.6, -2},  {1.954, 2}, {460.8, 461}};
    for (const auto& c : cases) EXPECT_EQ(Onsets::roundHalfUp(c[0]), c[1]) << c[0];
}

// ---------------------------------------------------------------------------
// The whole analysis against the numpy/scipy pipeline. Differences come from
// the FFT's twiddle recurrence, the running statistics' recursion and the
// filter's operation order (about 1e-11 measured): within 1e-9 absolute plus 1e-9
// relative.

struct Reference {
    unsigned int rate;
    unsigned int G;
    double envRate;
    unsigned int bands;
    std::vector<double> audio, bandEnvs, accents;
};

Reference readReference(const std::string& name) {
    const auto arrays = oracle::read("frontend_" + name + ".txt");
    return {static_cast<unsigned int>(arrays.at(0)[0]),
            static_cast<unsigned int>(arrays.at(1)[0]),
            arrays.at(2)[0],
            static_cast<unsigned int>(arrays.at(3)[0]),
            arrays.at(4),
            arrays.at(5),
            arrays.at(6)};
}

class FrontEndReference : public testing::TestWithParam<std::string> {};

TEST_P(FrontEndReference, DeliversTheReferenceEnvelopesAndAccents) {
    const Reference ref = readReference(GetParam());
    for (std::size_t block : {std::size_t(0), std::size_t(128)}) {
        SCOPED_TRACE("block " + std::to_string(block));
        Onsets onsets(ref.rate);
        EXPECT_EQ(onsets.getAccentSrate(), ref.envRate);
        onsets_test::feed(onsets, ref.audio, block);
        EXPECT_EQ(onsets.getGroupDelay(), ref.G);

        Matrix<double> envs;
        ASSERT_TRUE(onsets.getBandEnvs(envs, 0));
        ASSERT_EQ(envs.nRows(), ref.bands);
        ASSERT_EQ(std::size_t(envs.nElems()), ref.bandEnvs.size());
        EXPECT_TRUE(onsets_test::allFinite(envs.data(), envs.nElems()));
        EXPECT_LE(worstError(envs.data(), ref.bandEnvs.data(), envs.nElems(), 1e-9, 1e-9), 1.0);

        std::vector<double> accents;
        ASSERT_TRUE(onsets.accentFix(accents));
        ASSERT_EQ(accents.size(), ref.accents.size());
        EXPECT_LE(worstError(accents.data(), ref.accents.data(), accents.size(), 1e-9, 1e-9), 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(AllRatesAndSilence, FrontEndReference,
                         testing::Values("rate_44100", "rate_32000", "rate_22050", "rate_16000",
                                         "rate_8000", "silence", "silent_start"));

}  // namespace
