#include "meterTrackerC.h"

#include <algorithm>
#include <cmath>

#include "precondition.h"
#include "round.h"

namespace meterTracker {

namespace {

// Pulse cache columns.
enum CacheColumn { kBeatColumn = 0, kBarColumn = 1, kTatumColumn = 2, kCacheColumns = 3 };

const double kUpdateRate = 2.0;  // analysis steps per second of audio
// Seconds of accent frames kept for the stages that look back over the music.
const double kAccentHistorySeconds = 10.0;
// Bands (from the lowest) whose onsets count as the low band: kick, bass.
const unsigned kLowBands = 2;

void zeroTable(std::vector<std::vector<std::vector<double> > >& table) {
    for (auto& row : table)
        for (auto& entry : row) std::fill(entry.begin(), entry.end(), 0.0);
}

template <typename T>
void zeroMatrix(NumaMathLibrary::Matrix<T>& m) {
    std::fill(m.data(), m.data() + m.nElems(), T(0));
}

}  // namespace

mTracker::mTracker(unsigned sampleRate, TrackingModel model, const EnhancedStages& stages)
    : params(sampleRate),
      beatyness(0.0),
      srate(sampleRate),
      updateRate(kUpdateRate),
      onsets(sampleRate),
      jointScores(1, 1),
      levelDelays(2, 2),
      inputEnergyAcc(1, 0.0),
      numChannels(0),
      channelMeans(1, 0.0),
      frameCount(0),
      pulseCache(1, 1),
      stepsDone(0),
      flushedRows(0),
      model_(model),
      accents_(1, 1),
      confidence_(1.0) {
    srate = sampleRate;
    updateRate = kUpdateRate;
    onsets.setSrate(sampleRate);
    params.setSrate(sampleRate);
    reset();

    numChannels = static_cast<unsigned>(
        std::ceil(static_cast<double>(params.numBands) / params.bandsPerChannel));
    channelMeans.resize(numChannels, 0.0);
    buildBanks();

    phaseHistory.assign(2, std::vector<std::vector<double> >(params.numPhaseCandidates,
                                                             std::vector<double>(2, 0.0)));
    periodHistory.assign(2, std::vector<std::vector<double> >(params.numPeriodCandidates,
                                                              std::vector<double>(3, 0.0)));
    inputEnergyAcc.resize(numChannels, 0.0);

    accents_ = AccentHistory(numChannels, static_cast<unsigned>(kAccentHistorySeconds * params.accentRate));
    confidence_ = StepConfidence(params.accentRate);
    frameChannels_.assign(numChannels, 0.0);
    if (model_ == TrackingModel::Enhanced) enhanced_.reset(new EnhancedModel(params, stages));
}

mTracker::~mTracker() = default;

void mTracker::buildBanks() {
    // The banks give one energy per comb and block: a hop below one.
    TM_PRECONDITION(params.resonatorHop < 1.0, "one resonator output per block");
    resonators.reset(new ResonatorBanks(numChannels, params.delays, params.feedbackGains,
                                        params.decayPerSample));
}

void mTracker::setSrate(unsigned sampleRate) {
    srate = sampleRate;
    updateRate = kUpdateRate;
    onsets.setSrate(sampleRate);
    params.setSrate(sampleRate);
    // Banks and shapes are kept, except where the new rate changes the
    // number of resonators: the old banks would then be read past their end.
    if (resonators && resonators->numResonators() != params.numDelays) buildBanks();
    reset();
}

void mTracker::reset() {
    onsets.reset();
    jointScores.resize(1, 1, 0.0);
    jointScores[0][0] = 0.0;

    for (PulseTrain& train : trains_) train.reset();
    rebuildTrains_ = false;
    accents_.reset();
    confidence_.reset();
    rowConfidence_.clear();
    if (enhanced_) enhanced_->reset();

    if (resonators) resonators->reset();
    std::fill(channelMeans.begin(), channelMeans.end(), 0.0);

    pulseCache.resize(1, 1, 0.0);
    pulseCache[0][0] = 0.0;
    flushedRows = 0;
    frameCount = 0;
    stepsDone = 0;

    // phaseScores is left alone: the first step rebuilds it.
    zeroTable(phaseHistory);
    zeroTable(periodHistory);
    zeroMatrix(levelDelays);
    std::fill(inputEnergyAcc.begin(), inputEnergyAcc.end(), 0.0);
}

void mTracker::addData(const double* samples, unsigned count) {
    onsets.addData(samples, count);
    if (enhanced_) enhanced_->addAudio(samples, count);
}

unsigned mTracker::getStepHop() const {
    return round(params.accentRate / updateRate);
}

bool mTracker::process() {
    const unsigned hop = getStepHop();
    // Until the buffered audio completes a new step, the front end's new
    // columns would only wait here: they wait as audio in its buffer
    // instead, and it analyses a step's worth in one run.
    if (onsets.columnEndAfterProcess() < onsets.getGroupDelay() + hop * (stepsDone + 1))
        return false;
    if (!onsets.process()) return false;
    const unsigned G = onsets.getGroupDelay();

    if (!onsets.getBandEnvs(envelopes_, frameCount)) return false;
    const unsigned F = envelopes_.nCols();
    // Whole steps whose frames all precede the G predicted columns.
    if (frameCount + F < G + hop) return false;
    const unsigned steps = (frameCount + F - G - hop) / hop + 1;
    if (steps <= stepsDone) return false;

    const unsigned N = params.numDelays;
    TM_PRECONDITION(resonators && resonators->numResonators() >= N,
                    "numDelays <= resonators per bank");
    const unsigned firstFrameOfCall = frameCount;  // frame of the envelopes' first column
    groupChannels(F);
    updateChannelMeans(F);

    if (phaseObservations_.nRows() != params.numPhaseCandidates || phaseObservations_.nCols() != 2)
        phaseObservations_.resize(params.numPhaseCandidates, 2, 0.0);
    zeroMatrix(phaseObservations_);

    const unsigned rowsNeeded = steps - static_cast<unsigned>(flushedRows);
    if (!(pulseCache.nCols() > 2 && pulseCache.nRows() >= rowsNeeded))
        pulseCache.resize(rowsNeeded, kCacheColumns, 0.0);

    const double decayOverStep = std::pow(params.decayPerSample, static_cast<double>(hop));
    const unsigned stateStride = resonators->longestDelay();
    bias_.resize(N);
    resonance_.resize(N);

    for (unsigned s = stepsDone; s < steps; ++s) {
        const unsigned firstFrame = s * hop;
        const unsigned lastFrame = firstFrame + hop - 1;  // n

        recordFrames(firstFrame - firstFrameOfCall, firstFrame, hop);
        computeBias(lastFrame);
        std::fill(resonance_.begin(), resonance_.end(), 0.0);
        runBanks(firstFrame - firstFrameOfCall, hop, decayOverStep);
        frameCount = lastFrame + 1;
        if (numChannels > 1) {
            const double scale = 1.0 / numChannels;
            for (unsigned j = 0; j < N; ++j) resonance_[j] *= scale;
        }

        const unsigned row = s - static_cast<unsigned>(flushedRows);
        const PeriodChoice periods =
            periodModel_.step(s, resonance_, bias_, params, periodHistory, jointScores);
        beatyness = periods.beatyness;
        pulseCache[row][kBeatColumn] = std::complex<double>(periods.beat, 0.0);
        pulseCache[row][kBarColumn] = std::complex<double>(periods.bar, 0.0);
        pulseCache[row][kTatumColumn] = std::complex<double>(periods.tatum, 0.0);

        // The phase stage reads the lines of the resonators tuned to the beat
        // and the bar in order, oldest first.
        for (double period : {periods.beat, periods.bar}) {
            const unsigned k = nearestResonator(period, params.accentRate, params.delays);
            resonators->alignLine(k);
        }
        const PhaseChoice phases = phaseModel_.step(s, periods.beat, periods.bar, lastFrame,
                                                    resonators->orderedLines(), stateStride,
                             params, levelDelays, phaseHistory, phaseScores, phaseObservations_);
        const StepEstimate e =
            enhanced_ ? enhanced_->step(accents_, envelopes_, firstFrame - firstFrameOfCall, hop,
                                        lastFrame, periodModel_, periods, phaseModel_, phases)
                      : StepEstimate{periods.beat, phases.beat, periods.bar,
                                     phases.bar,   periods.tatum, phases.tatum};
        pulseCache[row][kBeatColumn] = std::complex<double>(e.beatPeriod, e.beatPhase);
        pulseCache[row][kBarColumn] = std::complex<double>(e.barPeriod, e.barPhase);
        pulseCache[row][kTatumColumn] = std::complex<double>(e.tatumPeriod, e.tatumPhase);
        if (rowConfidence_.size() <= row) rowConfidence_.resize(row + 1, 0.0);
        rowConfidence_[row] = confidence_.update(accents_, e.beatPeriod);
        if (!rebuildTrains_)
            for (unsigned column = 0; column < kCacheColumns; ++column)
                trains_[column].add(pulseCache[row][column].real(), pulseCache[row][column].imag());
    }

    if (rebuildTrains_) rebuildPulseLists();
    stepsDone = steps;
    applyHistoryLimit();
    onsets.clearBandEnvs(frameCount, true);
    return true;
}

// The step's frames (envelope columns from firstColumn on) into the accent
// history: the low band, all bands, and each channel's bands.
void mTracker::recordFrames(unsigned firstColumn, unsigned firstFrame, unsigned count) {
    const unsigned bands = envelopes_.nRows();
    const unsigned perChannel = params.bandsPerChannel;
    for (unsigned j = 0; j < count; ++j) {
        const unsigned col = firstColumn + j;
        double low = 0.0, total = 0.0;
        std::fill(frameChannels_.begin(), frameChannels_.end(), 0.0);
        for (unsigned b = 0; b < bands; ++b) {
            const double v = envelopes_[b][col];
            total += v;
            if (b < kLowBands) low += v;
            const unsigned c = b / perChannel;
            if (c < numChannels) frameChannels_[c] += v;
        }
        accents_.push(firstFrame + j, low, total, frameChannels_.data());
    }
}

// Rows become frames, and each run of bandsPerChannel adjacent bands is
// summed into one channel. Channels the front end has no bands for (it
// delivers fewer bands at low sample rates) stay silent.
void mTracker::groupChannels(unsigned rows) {
    if (channelSignals_.nRows() != rows || channelSignals_.nCols() != numChannels)
        channelSignals_.resize(rows, numChannels, 0.0);
    const unsigned bands = envelopes_.nRows();
    const unsigned perChannel = params.bandsPerChannel;
    for (unsigned c = 0; c < numChannels; ++c) {
        const unsigned first = std::min(c * perChannel, bands);
        const unsigned end = std::min(first + perChannel, bands);
        for (unsigned r = 0; r < rows; ++r) {
            double sum = 0.0;
            for (unsigned b = first; b < end; ++b) sum += envelopes_[b][r];
            channelSignals_[r][c] = sum;
        }
    }
}

// Running mean of each channel, row r counting as frame frameCount + r; then
// the final mean is removed from every row.
void mTracker::updateChannelMeans(unsigned rows) {
    for (unsigned c = 0; c < numChannels; ++c) {
        double mean = channelMeans[c];
        for (unsigned r = 0; r < rows; ++r) {
            const double count = static_cast<double>(r) + frameCount;
            mean = (mean * count + channelSignals_[r][c]) / (count + 1.0);
        }
        channelMeans[c] = mean;
    }
    for (unsigned r = 0; r < rows; ++r) {
        double* row = channelSignals_[r];
        for (unsigned c = 0; c < numChannels; ++c) row[c] -= channelMeans[c];
    }
}

// u[i]: the share of resonator i's normalised output energy that its decay
// since frame 0 leaves unexplained by periodicity.
void mTracker::computeBias(unsigned lastFrame) {
    const unsigned N = params.numDelays;
    const unsigned long long elapsed = static_cast<unsigned long long>(lastFrame) + 1;
    for (unsigned i = 0; i < N; ++i) {
        const unsigned long long d = params.delays[i];
        const double cycles = static_cast<double>((elapsed + d - 1) / d);
        const double decayed = std::pow(params.feedbackGains[i], cycles);
        bias_[i] = (1.0 - decayed * decayed) * params.gainNorms[i].real();
    }
}

// The banks over the step's frames, then per channel the leaky input energy
// and its resonance, added into resonance_. (The combs' own output energies
// are not needed for the resonance, so the banks skip them.)
void mTracker::runBanks(unsigned firstRow, unsigned hop, double decayOverStep) {
    const unsigned N = params.numDelays;
    const ResonatorBanks& banks = *resonators;
    inputEnergy_.resize(numChannels);
    lineSums_.resize(banks.numResonators());
    resonators->process(channelSignals_[firstRow], hop, numChannels, inputEnergy_.data(),
                        nullptr);

    for (unsigned channel = 0; channel < numChannels; ++channel) {
        const double inputEnergy =
            decayOverStep * inputEnergyAcc[channel] + inputEnergy_[channel];
        inputEnergyAcc[channel] = inputEnergy;

        // Mean square of each resonator's last delays[j] outputs (its delay
        // line holds them times its gain), relative to the input energy,
        // less the bias.
        const double energyScale = (1.0 - params.decayPerSample) * inputEnergy;
        banks.lineSumsOfSquares(channel, lineSums_.data());
        const double* sums = lineSums_.data();
        const double* gains = params.feedbackGains.data();
        const double* bias = bias_.data();
        double* resonance = resonance_.data();
        // (A signed index converts to double in vector registers.)
        const int count = static_cast<int>(N);
        for (int j = 0; j < count; ++j) {
            const double meanSquare = sums[j] / (gains[j] * gains[j]) / (j + 1);
            const double r = meanSquare / energyScale - bias[j];
            // Negative or not a number counts as 0. Adding a zero instead of
            // skipping the addition changes nothing (the sum starts at +0
            // and never becomes -0) and lets the loop vectorise.
            resonance[j] += r >= 0.0 ? r : 0.0;
        }
    }
}

// The lists from the cache rows there are, as after flushPulseCache.
void mTracker::rebuildPulseLists() {
    for (unsigned column = 0; column < kCacheColumns; ++column) {
        trains_[column].reset();
        for (unsigned r = 0; r < pulseCache.nRows(); ++r)
            trains_[column].add(pulseCache[r][column].real(), pulseCache[r][column].imag());
    }
    rebuildTrains_ = false;
}

// Removes the oldest count rows of the pulse cache.
void mTracker::dropCacheRows(int count) {
    const int rows = static_cast<int>(pulseCache.nRows());
    flushedRows += count;
    const std::size_t gone = std::min(rowConfidence_.size(), static_cast<std::size_t>(count));
    rowConfidence_.erase(rowConfidence_.begin(), rowConfidence_.begin() + static_cast<std::ptrdiff_t>(gone));
    for (int i = count; i < rows; ++i)
        for (unsigned col = 0; col < kCacheColumns; ++col)
            pulseCache[i - count][col] = pulseCache[i][col];
    pulseCache.resize(rows - count, kCacheColumns, 0.0);
}

void mTracker::applyHistoryLimit() {
    if (historyLimit_ < 0.0 || pulseCache.nCols() < kCacheColumns) return;
    const double oldest =
        static_cast<double>(frameCount) / params.accentRate - historyLimit_;
    for (PulseTrain& train : trains_) train.dropBefore(oldest);
    // Rows of steps that ended before the oldest time kept, in batches.
    const double stepSeconds = getStepHop() / params.accentRate;
    const int rows = static_cast<int>(pulseCache.nRows());
    int old = 0;
    while (old + 1 < rows && (flushedRows + old + 1) * stepSeconds < oldest) ++old;
    if (old >= 64 && old * 2 >= rows) dropCacheRows(old);
}

void mTracker::getMeters(std::vector<double>& tatum, std::vector<double>& beat,
                         std::vector<double>& bar) const {
    tatum = trains_[kTatumColumn].pulses();
    beat = trains_[kBeatColumn].pulses();
    bar = trains_[kBarColumn].pulses();
}

void mTracker::getLatestPeriodEsts(double& tatumPeriod, double& beatPeriod, double& barPeriod,
                                   double& tatumPhase, double& beatPhase, double& barPhase) const {
    if (pulseCache.nCols() < kCacheColumns || pulseCache.nRows() == 0) {
        tatumPeriod = beatPeriod = barPeriod = -1.0;
        tatumPhase = beatPhase = barPhase = -1.0;
        return;
    }
    const std::complex<double>* last = pulseCache[pulseCache.nRows() - 1];
    tatumPeriod = last[kTatumColumn].real();
    beatPeriod = last[kBeatColumn].real();
    barPeriod = last[kBarColumn].real();
    tatumPhase = last[kTatumColumn].imag();
    beatPhase = last[kBeatColumn].imag();
    barPhase = last[kBarColumn].imag();
}

void mTracker::calculateBeatyness(std::vector<double>& values) {
    beatyness = 0.0;
    const double count = static_cast<double>(values.size());
    for (double v : values) beatyness += v / count;
}

bool mTracker::flushPulseCache(const double& time) {
    // Before the first step the cache holds no complete row.
    if (pulseCache.nCols() < kCacheColumns || pulseCache.nRows() == 0) return false;
    const int rows = static_cast<int>(pulseCache.nRows());
    int lastBefore = -1;
    for (int i = 0; i < rows; ++i)
        if (time > pulseCache[i][kTatumColumn].imag()) lastBefore = i;
    const int lastDropped = lastBefore == rows - 1 ? lastBefore - 1 : lastBefore;
    if (lastDropped < 0) return false;

    dropCacheRows(lastDropped + 1);
    // The pulse lists are rebuilt from the rows left, at the next step.
    rebuildTrains_ = true;
    return true;
}

}  // namespace meterTracker

// ----------------------------------------------------------- flat interface

using meterTracker::mTracker;

mTracker* mTracker_init(int sampleRate) {
    return new mTracker(static_cast<unsigned>(sampleRate));
}

mTracker* mTracker_init_model(int sampleRate, meterTracker::TrackingModel model) {
    return new mTracker(static_cast<unsigned>(sampleRate), model);
}

void mTracker_close(mTracker* tracker) {
    delete tracker;
}

void mTracker_reset(mTracker* tracker) {
    tracker->reset();
}

void mTracker_add_data(mTracker* tracker, const double* samples, int count) {
    if (count >= 0) tracker->addData(samples, static_cast<unsigned>(count));
}

int mTracker_process(mTracker* tracker) {
    return tracker->process() ? 1 : 0;
}

void mTracker_get_period_est(mTracker* tracker, double* tatumPeriod, double* beatPeriod,
                             double* barPeriod, double* tatumPhase, double* beatPhase,
                             double* barPhase) {
    tracker->getLatestPeriodEsts(*tatumPeriod, *beatPeriod, *barPeriod, *tatumPhase, *beatPhase,
                                 *barPhase);
}

void mTracker_get_ticks(mTracker* tracker, double* tatum, int* tatumCount, double* beat,
                        int* beatCount, double* bar, int* barCount) {
    std::vector<double> tatumPulses, beatPulses, barPulses;
    tracker->getMeters(tatumPulses, beatPulses, barPulses);
    *tatumCount = copy_nvals(tatumPulses, tatum, *tatumCount);
    *beatCount = copy_nvals(beatPulses, beat, *beatCount);
    *barCount = copy_nvals(barPulses, bar, *barCount);
}

double mTracker_get_beatyness(mTracker* tracker) {
    return tracker->getBeatyness();
}

double mTracker_get_confidence(mTracker* tracker) {
    return tracker->getConfidence();
}

void mTracker_set_history_limit(mTracker* tracker, double seconds) {
    tracker->setHistoryLimit(seconds);
}

void mTracker_change_myyValues(mTracker* tracker, double barMyy, double beatMyy, double tatumMyy) {
    meterTracker::Params& params = tracker->getParams();
    params.barMyy = barMyy;
    params.beatMyy = beatMyy;
    params.tatumMyy = tatumMyy;
}

double mTracker_change_half_time(mTracker* tracker, double seconds) {
    return tracker->getParams().changeHalfTime(seconds);
}

void mTracker_dump_metfile(mTracker* tracker, const char* path) {
    if (path == nullptr) return;
    std::vector<double> tatum, beat, bar;
    tracker->getMeters(tatum, beat, bar);
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        std::fputs("metertracker: failed to save meter data\n", stderr);
        return;
    }
    std::fprintf(file, "%d\n", 3);
    print_vector(tatum, file);
    print_vector(beat, file);
    print_vector(bar, file);
    std::fclose(file);
}

int copy_nvals(std::vector<double>& values, double* dst, int n) {
    if (n <= 0) return 0;
    const std::size_t wanted = static_cast<std::size_t>(n);
    const std::size_t copied = std::min(values.size(), wanted);
    std::copy(values.end() - static_cast<std::ptrdiff_t>(copied), values.end(), dst);
    std::fill(dst + copied, dst + wanted, 0.0);
    return static_cast<int>(copied);
}

void print_vector(std::vector<double> values, FILE* file) {
    std::fprintf(file, "%d\n", static_cast<int>(values.size()));
    for (double v : values) std::fprintf(file, "%.9f\n", v);
}
