#include "downbeatTracker.h"

#include <algorithm>
#include <cmath>

namespace meterTracker {

DownbeatTracker::DownbeatTracker(unsigned sampleRate)
    : DownbeatTracker(sampleRate, BarPositionModel::Options()) {}

DownbeatTracker::DownbeatTracker(unsigned sampleRate, const BarPositionModel::Options& options)
    : evidence_(sampleRate), model_(options) {
    reset();
}

void DownbeatTracker::reset() {
    evidence_.reset();
    model_.reset();
    pendingFirst_ = 0;
    pendingCount_ = 0;
    nextIndex_ = 0;
    lastBeat_ = 0.0;
    haveBeat_ = false;
    lastInterval_ = 0.5;
    decisionFirst_ = 0;
    decisionCount_ = 0;
    droppedDecisions_ = 0;
    cueCount_ = 0;
    cueNext_ = 0;
    haveCue_ = false;
    lastCue_ = 0.0;
}

void DownbeatTracker::addAudio(const double* samples, unsigned count) {
    evidence_.addAudio(samples, count);
    decideReady(false);
}

bool DownbeatTracker::addBeat(double seconds) {
    if (!std::isfinite(seconds) || (haveBeat_ && !(seconds > lastBeat_)) ||
        pendingCount_ == kQueueCapacity)
        return false;
    if (haveBeat_) lastInterval_ = seconds - lastBeat_;
    pending_[(pendingFirst_ + pendingCount_) % kQueueCapacity] = seconds;
    ++pendingCount_;
    lastBeat_ = seconds;
    haveBeat_ = true;
    decideReady(false);
    return true;
}

bool DownbeatTracker::addBarCue(double seconds) {
    if (!std::isfinite(seconds) || (haveCue_ && !(seconds > lastCue_))) return false;
    cues_[cueNext_] = seconds;
    cueNext_ = (cueNext_ + 1) % kCueCapacity;
    cueCount_ = std::min(cueCount_ + 1, kCueCapacity);
    haveCue_ = true;
    lastCue_ = seconds;
    return true;
}

void DownbeatTracker::finish() {
    decideReady(true);
}

void DownbeatTracker::decideReady(bool atEnd) {
    while (pendingCount_ >= 2) {
        const double start = pending_[pendingFirst_];
        const double next = pending_[(pendingFirst_ + 1) % kQueueCapacity];
        const double end = std::min(next, start + BarEvidence::kMaxSegmentSeconds);
        if (!atEnd && evidence_.analysedUntil() < end) return;
        decideFront(next);
    }
    if (atEnd && pendingCount_ == 1) {
        const double start = pending_[pendingFirst_];
        decideFront(std::max(start, std::min(start + lastInterval_, evidence_.audioSeconds())));
    }
}

void DownbeatTracker::decideFront(double end) {
    const double start = pending_[pendingFirst_];
    evidence_.beatEvidence(start, end, scratch_);
    scratch_.barCueKnown = haveCue_;
    scratch_.barCue = 0.0;
    for (int k = 0; k < cueCount_; ++k)
        if (std::fabs(cues_[k] - start) <= kBarCueSeconds) scratch_.barCue = 1.0;
    BeatPosition d;
    d.time = start;
    d.index = nextIndex_;
    d.position = model_.addBeat(scratch_);
    d.beatsPerBar = model_.beatsPerBar();
    recentTimes_[nextIndex_ % BarPositionModel::kMaxBeatsPerBar] = start;
    pushDecision(d);
    pendingFirst_ = (pendingFirst_ + 1) % kQueueCapacity;
    --pendingCount_;
    ++nextIndex_;
}

void DownbeatTracker::pushDecision(const BeatPosition& d) {
    if (decisionCount_ == kQueueCapacity) {
        decisionFirst_ = (decisionFirst_ + 1) % kQueueCapacity;
        --decisionCount_;
        ++droppedDecisions_;
    }
    decisions_[(decisionFirst_ + decisionCount_) % kQueueCapacity] = d;
    ++decisionCount_;
}

bool DownbeatTracker::nextDecision(BeatPosition& out) {
    if (decisionCount_ == 0) return false;
    out = decisions_[decisionFirst_];
    decisionFirst_ = (decisionFirst_ + 1) % kQueueCapacity;
    --decisionCount_;
    return true;
}

BarReference DownbeatTracker::barReference() const {
    BarReference ref;
    ref.beatsPerBar = model_.beatsPerBar();
    const long newest = nextIndex_ + pendingCount_ - 1;
    // The latest beat that the current choice puts first in its bar, among the
    // waiting beats and the last decided ones.
    for (long index = newest; index >= 0 && index > newest - BarPositionModel::kMaxBeatsPerBar;
         --index) {
        if (model_.position(index) != 1) continue;
        if (index >= nextIndex_) {
            ref.barStart = pending_[(pendingFirst_ + (index - nextIndex_)) % kQueueCapacity];
        } else if (nextIndex_ - index <= BarPositionModel::kMaxBeatsPerBar) {
            ref.barStart = recentTimes_[index % BarPositionModel::kMaxBeatsPerBar];
        } else {
            break;
        }
        ref.barStartIndex = index;
        return ref;
    }
    return ref;
}

}  // namespace meterTracker
