// The audio file reader's rate conversion, from every common rate to the
// analysis rate: no delay (clicks come out where they went in), the right
// length, the level and pitch of a tone kept, nothing folded or imaged into
// the analysed band, files at the output rate passed through untouched, and
// the output independent of how it is read.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio_file.h"
#include "temp_dir.h"

namespace {

const double kOut = 44100.0;

void writeMono(const std::string& path, const std::vector<float>& x, int rate) {
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_writef_float(f, x.data(), static_cast<sf_count_t>(x.size())),
              static_cast<sf_count_t>(x.size()));
    sf_close(f);
}

std::vector<double> readAll(const std::string& path, double rate, long block = 8192) {
    AudioFileReader reader;
    EXPECT_TRUE(reader.open(path, rate)) << reader.error();
    std::vector<double> out, buffer(static_cast<std::size_t>(block));
    for (;;) {
        const long got = reader.read(buffer.data(), block);
        EXPECT_GE(got, 0) << reader.error();
        if (got <= 0) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
}

std::vector<float> tone(double hz, double amplitude, double seconds, int rate) {
    std::vector<float> x(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * hz * i / rate));
    return x;
}

double rms(const std::vector<double>& x, std::size_t from, std::size_t to) {
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) sum += x[i] * x[i];
    return std::sqrt(sum / (to - from));
}

class Rates : public ::testing::TestWithParam<int> {};

TEST_P(Rates, ClicksComeOutWhereTheyWentInAndTheLengthFollowsTheRatio) {
    const int rate = GetParam();
    TempDir dir;
    const double seconds = 2.0;
    const std::vector<double> clicks = {0.25, 0.5, 1.0, 1.7};
    std::vector<float> x(static_cast<std::size_t>(seconds * rate), 0.0f);
    for (double t : clicks) x[static_cast<std::size_t>(std::lround(t * rate))] = 0.8f;
    writeMono(dir.file("clicks.wav"), x, rate);

    const std::vector<double> y = readAll(dir.file("clicks.wav"), kOut);
    EXPECT_NEAR(static_cast<double>(y.size()), x.size() * kOut / rate, 2.0);
    for (double t : clicks) {
        // The largest magnitude within 5 ms of where the click belongs.
        const long centre = std::lround(std::lround(t * rate) * kOut / rate);
        long best = centre;
        for (long i = centre - 220; i <= centre + 220; ++i)
            if (std::fabs(y[static_cast<std::size_t>(i)]) > std::fabs(y[static_cast<std::size_t>(best)]))
                best = i;
        EXPECT_LE(std::labs(best - centre), 1) << "click at " << t << " s";
    }
}

TEST_P(Rates, AToneKeepsItsLevelAndPitch) {
    const int rate = GetParam();
    TempDir dir;
    writeMono(dir.file("tone.wav"), tone(1000.0, 0.5, 2.0, rate), rate);
    const std::vector<double> y = readAll(dir.file("tone.wav"), kOut);
    ASSERT_GT(y.size(), 80000u);
    const std::size_t from = 4410, to = y.size() - 4410;  // away from the ends
    EXPECT_NEAR(rms(y, from, to), 0.5 / std::sqrt(2.0), 0.002);
    // Rising zero crossings, interpolated, over the middle of the file.
    std::vector<double> crossings;
    for (std::size_t i = from; i + 1 < to; ++i)
        if (y[i] < 0.0 && y[i + 1] >= 0.0) crossings.push_back(i + y[i] / (y[i] - y[i + 1]));
    ASSERT_GT(crossings.size(), 1000u);
    const double period = (crossings.back() - crossings.front()) / (crossings.size() - 1);
    EXPECT_NEAR(kOut / period, 1000.0, 0.05);
}

INSTANTIATE_TEST_SUITE_P(FileRates, Rates, ::testing::Values(8000, 22050, 32000, 48000, 88200, 96000),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "Hz";
                         });

TEST(RateConversion, WhatWouldFoldIntoTheAnalysedBandIsRemovedAndTheBandKept) {
    // The analysis's bands end at 0.9 of 22.05 kHz (19.85 kHz). 30 kHz would
    // fold to 14.1 kHz and 24.5 kHz to 19.6 kHz; 19.8 kHz is in the band.
    struct Case {
        double hz;
        bool kept;
    };
    for (const Case c : {Case{30000.0, false}, Case{24500.0, false}, Case{19000.0, true},
                         Case{19800.0, true}}) {
        TempDir dir;
        writeMono(dir.file("tone.wav"), tone(c.hz, 0.5, 1.0, 96000), 96000);
        const std::vector<double> y = readAll(dir.file("tone.wav"), kOut);
        const double level = rms(y, 4410, y.size() - 4410);
        if (c.kept) {
            EXPECT_NEAR(level, 0.5 / std::sqrt(2.0), 0.003) << c.hz << " Hz";
        } else {
            EXPECT_LT(level, 0.5 / std::sqrt(2.0) * 1e-4) << c.hz << " Hz";  // -80 dB
        }
    }
}

// Going up in rate, a tone near the input's Nyquist frequency leaves no
// image above it: 10.8 kHz at 22.05 kHz would image at 11.25 kHz, inside
// the band the analysis looks at.
TEST(RateConversion, GoingUpLeavesNoImageInTheAnalysedBand) {
    TempDir dir;
    writeMono(dir.file("top.wav"), tone(10800.0, 0.5, 1.0, 22050), 22050);
    const std::vector<double> y = readAll(dir.file("top.wav"), kOut);
    ASSERT_GT(y.size(), 40000u);
    // Amplitude of the 11.25 kHz component over the middle of the file.
    const std::size_t from = 4410, to = y.size() - 4410;
    double re = 0.0, im = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        const double phase = 2.0 * M_PI * 11250.0 * static_cast<double>(i) / kOut;
        re += y[i] * std::cos(phase);
        im += y[i] * std::sin(phase);
    }
    const double amplitude = 2.0 * std::hypot(re, im) / static_cast<double>(to - from);
    EXPECT_LT(amplitude, 0.5 * 1e-4);  // -80 dB
}

TEST(RateConversion, AFileAtTheOutputRateIsPassedThrough) {
    TempDir dir;
    std::vector<float> x(10000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(std::sin(0.1 * i * i));
    writeMono(dir.file("same.wav"), x, 44100);
    AudioFileReader reader;
    ASSERT_TRUE(reader.open(dir.file("same.wav"), kOut));
    EXPECT_FALSE(reader.resampling());
    const std::vector<double> y = readAll(dir.file("same.wav"), kOut);
    ASSERT_EQ(y.size(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_EQ(y[i], x[i]) << i;
}

TEST(RateConversion, TheOutputDoesNotDependOnHowItIsRead) {
    TempDir dir;
    std::vector<float> x = tone(440.0, 0.3, 3.0, 48000);
    for (std::size_t i = 0; i < x.size(); i += 9001) x[i] = 0.9f;
    writeMono(dir.file("mixed.wav"), x, 48000);
    const std::vector<double> whole = readAll(dir.file("mixed.wav"), kOut, 1 << 20);
    for (long block : {1L, 127L, 128L, 4096L, 40000L}) {
        const std::vector<double> pieces = readAll(dir.file("mixed.wav"), kOut, block);
        ASSERT_EQ(pieces, whole) << "blocks of " << block;
    }
}

}  // namespace
