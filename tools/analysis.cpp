#include "analysis.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "audio_file.h"
#include "meterTrackerC.h"
#include "stepConfidence.h"

const double kAnalysisRate = 44100.0;  // the tracker's (and the engine's) rate

namespace {

const unsigned kBlock = 128;           // samples per tracker call, as in the engine
const long kReadSamples = 8192;
// Input samples per front-end frame and between frames, and the front end's
// group delay in accent frames, at 44100 Hz: they set the shortest file
// that completes one analysis step.
const double kFrameLength = 1024.0, kFrameHop = 512.0;
const unsigned kGroupDelay = 11;
// Share of the steps that must be confident of a steady beat for the file
// to have one (noise reaches about an eighth by chance).
const double kSteadyShare = 0.25;
// Seconds of history the tracker keeps while its steps are taken out.
const double kTrackerHistorySeconds = 30.0;


double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Feeds the whole file through the tracker; false with a one-line error.
bool track(const std::string& path, const AnalysisOptions& options, Analysis& a, std::string& error,
           const std::function<void(double)>& progress) {
    AudioFileReader reader;
    if (!reader.open(path, kAnalysisRate)) {
        error = reader.error();
        return false;
    }
    a.path = path;
    a.model = options.model;
    a.format = reader.formatName();
    a.duration = reader.durationSeconds();
    a.fileRate = reader.fileRate();
    a.channels = reader.channels();
    a.resampled = reader.resampling();

    meterTracker::mTracker tracker(static_cast<unsigned>(kAnalysisRate), options.model,
                                   options.stages);
    a.accentRate = tracker.getParams().accentRate;
    a.stepHop = tracker.getStepHop();
    // The steps and pulses are taken out as they come; the tracker keeps
    // only a short history, so that memory and time per step stay flat
    // however long the file.
    tracker.setHistoryLimit(kTrackerHistorySeconds);
    unsigned stepsTaken = 0;
    std::size_t pulsesTaken[3] = {0, 0, 0};
    std::vector<double>* const pulseLists[3] = {&a.beatPulses, &a.barPulses, &a.tatumPulses};
    auto takeNew = [&]() {
        const auto& cache = tracker.getPulseCache();
        const unsigned flushed = static_cast<unsigned>(tracker.getFlushedRows());
        for (; stepsTaken < tracker.getStepsDone(); ++stepsTaken) {
            const unsigned r = stepsTaken - flushed;
            Step step;
            step.index = stepsTaken;
            step.confidence = tracker.getRowConfidence(r);
            step.time = (step.index + 1) * a.stepHop / a.accentRate;
            for (int level = 0; level < 3; ++level) {
                step.period[level] = cache[r][level].real();
                step.phase[level] = cache[r][level].imag();
            }
            a.steps.push_back(step);
        }
        for (unsigned column = 0; column < 3; ++column) {
            const meterTracker::PulseTrain& train = tracker.getPulseTrain(column);
            const std::size_t total = train.dropped() + train.pulses().size();
            for (; pulsesTaken[column] < total; ++pulsesTaken[column])
                pulseLists[column]->push_back(
                    train.pulses()[pulsesTaken[column] - train.dropped()]);
        }
    };

    std::vector<double> samples(kReadSamples);
    using Clock = std::chrono::steady_clock;
    for (;;) {
        const Clock::time_point t0 = Clock::now();
        const long got = reader.read(samples.data(), kReadSamples);
        const Clock::time_point t1 = Clock::now();
        a.decodeSeconds += seconds(t1 - t0);
        if (got < 0) {
            error = reader.error();
            return false;
        }
        if (got == 0) break;
        for (long i = 0; i < got; i += kBlock) {
            tracker.addData(samples.data() + i,
                            static_cast<unsigned>(std::min<long>(kBlock, got - i)));
            if (tracker.process()) takeNew();
        }
        a.trackerSeconds += seconds(Clock::now() - t1);
        if (progress && a.duration > 0.0) progress(reader.secondsDecoded() / a.duration);
    }

    if (tracker.getStepsDone() == 0) {
        char text[160];
        std::snprintf(
            text, sizeof text,
            " is too short to find a meter (%.2f s of audio; at least %.2f s needed)", a.duration,
            // Two accent frames per front-end frame, until the first
            // step's frames and the predicted ones are in.
            (kFrameLength + kFrameHop * ((tracker.getStepHop() + kGroupDelay + 1) / 2 - 1)) /
                kAnalysisRate);
        error = "'" + path + "'" + text;
        return false;
    }
    return true;
}

// Positions in the bar: a beat starts a bar when a bar pulse lies within a
// quarter of the beat period of it; the beats after it count up. Beats before
// the first bar start count back from it.
void assignPositions(Analysis& a) {
    // Without a steady beat (silence, noise, a tone) there are no beats to
    // report: that takes confident steps over a good part of the file.
    std::size_t confident = 0;
    for (const Step& s : a.steps) confident += s.confidence >= meterTracker::kSteadyBeatConfidence;
    a.steadyBeat = static_cast<double>(confident) >= kSteadyShare * static_cast<double>(a.steps.size());
    if (!a.steadyBeat) {
        a.beatsPerBar = 0;
        a.bars = 0;
        return;
    }
    std::vector<double> beatPeriods, bars;
    for (const Step& s : a.steps) beatPeriods.push_back(s.period[kBeat]);
    a.medianBeatPeriod = percentile(beatPeriods, 0.5);
    a.lowTempo = 60.0 / percentile(beatPeriods, 0.9);
    a.highTempo = 60.0 / percentile(beatPeriods, 0.1);

    for (double t : a.beatPulses)
        if (t >= 0.0) a.beats.push_back(t);
    for (double t : a.barPulses)
        if (t >= 0.0) bars.push_back(t);
    std::sort(bars.begin(), bars.end());

    const std::size_t n = a.beats.size();
    std::vector<bool> startsBar(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        const double period =
            n < 2 ? a.medianBeatPeriod
                  : (i + 1 < n ? a.beats[i + 1] - a.beats[i] : a.beats[i] - a.beats[i - 1]);
        const double t = a.beats[i], tolerance = 0.25 * period;
        const auto it = std::lower_bound(bars.begin(), bars.end(), t - tolerance);
        startsBar[i] = it != bars.end() && *it <= t + tolerance;
    }

    // Bar lengths between consecutive bar starts give the usual bar length.
    std::vector<double> lengths;
    std::size_t firstStart = n, previous = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (!startsBar[i]) continue;
        if (firstStart == n) firstStart = i;
        if (previous != n) lengths.push_back(static_cast<double>(i - previous));
        previous = i;
    }
    std::vector<double> barPeriods;
    for (const Step& s : a.steps) barPeriods.push_back(s.period[kBar]);
    a.beatsPerBar =
        lengths.empty()
            ? static_cast<int>(std::lround(percentile(barPeriods, 0.5) / a.medianBeatPeriod))
            : static_cast<int>(std::lround(percentile(lengths, 0.5)));
    a.beatsPerBar = std::max(1, a.beatsPerBar);

    a.positions.assign(n, 0);
    a.bars = 0;
    const std::size_t anchor = firstStart == n ? 0 : firstStart;
    for (std::size_t i = anchor; i < n; ++i) {
        const bool start = firstStart == n ? (i - anchor) % a.beatsPerBar == 0 : startsBar[i];
        // A stretch without bar starts longer than a bar (the tracker's bar
        // pulses missed one) is counted in bars of the usual length, so that
        // no position exceeds the beats per bar reported.
        const bool wraps = i != anchor && a.positions[i - 1] >= a.beatsPerBar;
        a.positions[i] = (start || wraps || i == anchor) ? 1 : a.positions[i - 1] + 1;
        if (a.positions[i] == 1) ++a.bars;
    }
    const int pickupBar =
        lengths.empty() ? a.beatsPerBar
                        : std::min(a.beatsPerBar, static_cast<int>(lengths.front()));
    for (std::size_t i = 0; i < anchor; ++i) {
        const int back = static_cast<int>(anchor - i);  // beats before the first bar start
        a.positions[i] = ((pickupBar - back) % pickupBar + pickupBar) % pickupBar + 1;
    }
}

}  // namespace

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double at = q * (values.size() - 1);
    const std::size_t low = static_cast<std::size_t>(std::floor(at));
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (at - low) * (values[high] - values[low]);
}

bool analyzeFile(const std::string& path, const AnalysisOptions& options, Analysis& a,
                 std::string& error, const std::function<void(double)>& progress) {
    if (!track(path, options, a, error, progress)) return false;
    assignPositions(a);
    return true;
}

nlohmann::ordered_json analysisJson(const Analysis& a) {
    using Json = nlohmann::ordered_json;
    Json out;
    out["file"] = a.path;
    out["format"] = a.format;
    out["duration"] = a.duration;
    out["file_sample_rate"] = a.fileRate;
    out["channels"] = a.channels;
    out["analysis_sample_rate"] = kAnalysisRate;
    out["accent_rate"] = a.accentRate;
    out["step_seconds"] = a.stepHop / a.accentRate;
    out["tracking_model"] = meterTracker::trackingModelName(a.model);
    out["steady_beat"] = a.steadyBeat;
    if (a.steadyBeat) {
        out["median_tempo_bpm"] = 60.0 / a.medianBeatPeriod;
    } else {
        out["median_tempo_bpm"] = nullptr;
    }
    out["beats_per_bar"] = a.beatsPerBar;
    Json steps = Json::array();
    static const char* const kNames[3] = {"beat", "bar", "tatum"};
    for (const Step& s : a.steps) {
        Json step;
        step["index"] = s.index;
        step["time"] = s.time;
        step["confidence"] = s.confidence;
        for (int level : {kTatum, kBeat, kBar})
            step[kNames[level]] = {{"period", s.period[level]}, {"phase", s.phase[level]}};
        steps.push_back(std::move(step));
    }
    out["steps"] = std::move(steps);
    // Stretches whose steps are not confident of a steady beat.
    Json stretches = Json::array();
    for (std::size_t i = 0; i < a.steps.size();) {
        if (a.steps[i].confidence >= meterTracker::kSteadyBeatConfidence) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < a.steps.size() &&
               a.steps[j + 1].confidence < meterTracker::kSteadyBeatConfidence)
            ++j;
        const double stepSeconds = a.stepHop / a.accentRate;
        stretches.push_back({{"from", a.steps[i].time - stepSeconds}, {"to", a.steps[j].time}});
        i = j + 1;
    }
    out["low_confidence"] = std::move(stretches);
    out["pulses"] = {{"tatum", a.tatumPulses}, {"beat", a.beatPulses}, {"bar", a.barPulses}};
    Json beats = Json::array();
    for (std::size_t i = 0; i < a.beats.size(); ++i)
        beats.push_back({{"time", a.beats[i]}, {"position", a.positions[i]}});
    out["beats"] = std::move(beats);
    return out;
}

nlohmann::ordered_json batchRecord(const Analysis& a) {
    using Json = nlohmann::ordered_json;
    Json record;
    record["path"] = a.path;
    record["duration"] = a.duration;
    if (a.steadyBeat) {
        record["tempo"] = 60.0 / a.medianBeatPeriod;
    } else {
        record["tempo"] = nullptr;
    }
    record["beats_per_bar"] = a.beatsPerBar;
    Json beats = Json::array();
    // Milliseconds, as --beats prints them.
    for (std::size_t i = 0; i < a.beats.size(); ++i)
        beats.push_back({std::round(a.beats[i] * 1000.0) / 1000.0, a.positions[i]});
    record["beats"] = std::move(beats);
    record["tracking_model"] = meterTracker::trackingModelName(a.model);
    record["error"] = nullptr;
    return record;
}

nlohmann::ordered_json batchErrorRecord(const std::string& path, const std::string& error) {
    nlohmann::ordered_json record;
    record["path"] = path;
    record["error"] = error;
    return record;
}

std::string jsonText(const nlohmann::ordered_json& json, int indent) {
    return json.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
