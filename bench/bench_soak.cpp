// Soak: hours of music through the complete engine on the virtual clock of
// `kadenzo render` (tracker, ticker, timer passes, MIDI), much faster than
// real time. Every interval it reports the CPU time per minute of audio, the
// CPU time per analysis step and the resident memory, which must stay flat
// however long the engine runs.
//
//   ./build/bench/bench_soak [HOURS [INTERVAL_MINUTES]]     (default 10 h, 30 min)
//
// The music: pieces of synthetic drums whose tempo, meter and swing change
// from piece to piece, so that the tracker keeps working.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "render.h"
#include "synthetic_drums.h"

namespace {

const double kRate = 44100.0;
const double kPieceSeconds = 20.0;

double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec * 1e-6;
}

double rss_mib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Endless music: a dozen pieces made once, played in turn, so that the
// benchmark's own memory stays put.
class SoakMusic {
  public:
    SoakMusic() {
        for (int k = 0; k < kPieces; ++k) {
            synth::DrumPattern pattern;
            pattern.bpm = 80.0 + 13.0 * (k % 7);
            pattern.beatsPerBar = k % 5 == 3 ? 3 : 4;
            pattern.swing = k % 4 == 1 ? 2.0 / 3.0 : 0.5;
            pattern.seconds = kPieceSeconds;
            pattern.firstBeat = 0.05;
            pattern.seed = static_cast<std::uint32_t>(k + 1);
            const std::vector<double> samples = synth::drums(pattern).samples;
            pieces_.emplace_back(samples.begin(), samples.end());
        }
    }
    long read(float* out, long max) {
        const std::vector<float>& piece = pieces_[current_];
        const long n = std::min<long>(max, static_cast<long>(piece.size() - position_));
        std::copy(piece.begin() + static_cast<std::ptrdiff_t>(position_),
                  piece.begin() + static_cast<std::ptrdiff_t>(position_) + n, out);
        position_ += static_cast<std::size_t>(n);
        if (position_ == piece.size()) {
            position_ = 0;
            current_ = (current_ + 1) % pieces_.size();
        }
        return n;
    }

  private:
    static constexpr int kPieces = 12;
    std::vector<std::vector<float>> pieces_;
    std::size_t current_ = 0;
    std::size_t position_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const double hours = argc > 1 ? std::atof(argv[1]) : 10.0;
    const double interval_minutes = argc > 2 ? std::atof(argv[2]) : 30.0;
    if (!(hours > 0.0) || !(interval_minutes > 0.0)) {
        std::fprintf(stderr, "usage: bench_soak [HOURS [INTERVAL_MINUTES]]\n");
        return 2;
    }
    const long long total = static_cast<long long>(hours * 3600.0 * kRate);
    const long long interval = static_cast<long long>(interval_minutes * 60.0 * kRate);

    SoakMusic music;
    long long fed = 0, next_report = interval;
    long long messages = 0;
    double cpu_at_report = cpu_seconds();
    std::printf("%10s %18s %16s %10s %12s\n", "audio min", "CPU s / audio min", "CPU ms / step",
                "RSS MiB", "MIDI msgs");
    std::fflush(stdout);
    const RenderAudioSource source = [&](float* out, long max, std::string&) -> long {
        const long n = static_cast<long>(std::min<long long>(max, total - fed));
        if (n <= 0) return 0;
        const long got = music.read(out, n);
        fed += got;
        if (fed >= next_report) {
            const double cpu = cpu_seconds();
            const double minutes = interval / (60.0 * kRate);
            const double steps = minutes * 60.0 * 2.0;  // two analysis steps a second
            std::printf("%10.0f %18.4f %16.3f %10.1f %12lld\n", fed / (60.0 * kRate),
                        (cpu - cpu_at_report) / minutes, 1000.0 * (cpu - cpu_at_report) / steps,
                        rss_mib(), messages);
            std::fflush(stdout);
            cpu_at_report = cpu;
            next_report += interval;
        }
        return got;
    };
    const RenderMessageSink sink = [&](const std::vector<midioutput_record>& batch, std::string&) {
        messages += static_cast<long long>(batch.size());
        return true;
    };
    RenderSettings settings;
    settings.notes = true;
    const RenderOutcome outcome = render_stream(source, sink, settings);
    if (!outcome.ok) {
        std::fprintf(stderr, "bench_soak: %s\n", outcome.error.c_str());
        return 1;
    }
    std::printf("%.1f h of audio, %lld MIDI messages, peak RSS %.1f MiB\n",
                outcome.audio_seconds / 3600.0, messages, [] {
                    struct rusage usage;
                    getrusage(RUSAGE_SELF, &usage);
                    return usage.ru_maxrss / 1024.0;
                }());
    return 0;
}
