// libFuzzer target: any bytes as an audio file, through the file reader
// (decoding, channel mixing, rate conversion) and the meter tracker, as
// `kadenzo analyze` runs them. Crashes, hangs and sanitizer reports are
// faults; files that are refused with a message are fine.
//
// Built with -DKADENZO_FUZZ=ON by clang (scripts/fuzz.sh).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio_file.h"
#include "meterTrackerC.h"

namespace {

const double kRate = 44100.0;
const unsigned kBlock = 128;
// Enough for several analysis steps, little enough for many inputs a second.
const long kMostSamples = static_cast<long>(12 * kRate);

// The reader opens files by name: each input goes to a file in memory.
const std::string& inputPath() {
    static const std::string path = "/dev/shm/kadenzo-fuzz-" + std::to_string(getpid()) + ".bin";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(inputPath().c_str(), "wb");
    if (!file) return 0;
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);

    AudioFileReader reader;
    if (!reader.open(inputPath(), kRate)) return 0;

    static meterTracker::mTracker tracker(static_cast<unsigned>(kRate));
    tracker.reset();
    tracker.setHistoryLimit(5.0);
    std::vector<double> samples(4096);
    long total = 0;
    while (total < kMostSamples) {
        const long got = reader.read(samples.data(), static_cast<long>(samples.size()));
        if (got <= 0) break;
        for (long i = 0; i < got; i += kBlock) {
            tracker.addData(samples.data() + i,
                            static_cast<unsigned>(std::min<long>(kBlock, got - i)));
            tracker.process();
        }
        total += got;
    }
    double values[6];
    tracker.getLatestPeriodEsts(values[0], values[1], values[2], values[3], values[4], values[5]);
    std::vector<double> tatum, beat, bar;
    tracker.getMeters(tatum, beat, bar);
    return 0;
}
