// Bar starts and beats per bar for a beat grid, decided causally as the audio
// and the beats arrive: the downbeat stage of the tracker.
//
// Feed it the tracker's mono audio (addAudio) and the beats of the grid in
// time order (addBeat, seconds on the stream clock: sample count / rate since
// construction or reset, which is the tracker's accent clock). Beats may run
// ahead of the audio, as an extrapolated grid does, or come late, up to
// BarEvidence::kHistorySeconds after they sounded. Beat k is decided once beat
// k + 1 is known and the audio has been analysed up to it (the audio then
// reaches about 0.1 s past beat k + 1, the tonal frame's half length): each
// decision gives the beat's position in its bar (1 = bar start) and the beats
// per bar then in force. Read the decisions with nextDecision after each call;
// at most kQueueCapacity wait, older ones are dropped (counted). finish()
// decides the beats still waiting with the audio there is, at the end of a
// stream. Optionally, addBarCue hands in bar starts proposed by another model
// (the tracker's own bar phase): one more piece of evidence.
//
// barReference() is what a live ticker needs between beats: the beats per bar
// and the latest bar start among the beats handed in so far, decided or not,
// both under the current choice (so the reference can run up to the newest
// beat of the grid, and it moves at once when the choice changes); -1 while
// no beat is known.
//
// The evidence (BarEvidence) and the model over bar positions
// (BarPositionModel) are described in their headers. Cost: an FFT of 128
// points every 11.6 ms and one of 512 every 93 ms on decimated audio, and a
// median per beat, about 8 % of the classic tracker's time; no allocation
// after construction; no locking: the owner serialises every call.
#ifndef METERTRACKER_DOWNBEATTRACKER_H
#define METERTRACKER_DOWNBEATTRACKER_H

#include "barEvidence.h"
#include "barPositionModel.h"

namespace meterTracker {

struct BeatPosition {
    double time = 0.0;  // seconds, stream clock
    long index = 0;     // beats handed in since the reset, from 0
    int position = 1;   // 1 .. beatsPerBar, 1 = first beat of a bar
    int beatsPerBar = 4;
};

struct BarReference {
    double barStart = -1.0;  // seconds; -1 while no beat is known
    long barStartIndex = -1;
    int beatsPerBar = 4;
};

class DownbeatTracker {
  public:
    static constexpr int kQueueCapacity = 64;

    explicit DownbeatTracker(unsigned sampleRate);
    DownbeatTracker(unsigned sampleRate, const BarPositionModel::Options& options);

    // Forgets audio, beats and decisions; the stream clock starts again at 0.
    void reset();

    void addAudio(const double* samples, unsigned count);
    // False (and ignored) when the time is not finite, not after the previous
    // beat's, or kQueueCapacity beats already wait for their audio.
    bool addBeat(double seconds);
    // Optional: a bar start proposed by another model (the tracker's own bar
    // phase, say), in time order, before the beat it falls on is decided. Once
    // one has come, a beat within kBarCueSeconds of a cue counts as cued and
    // one without as not (evidence weighed as BarPositionModel describes).
    // False when not after the previous cue or not finite.
    bool addBarCue(double seconds);
    static constexpr double kBarCueSeconds = 0.07;
    // End of the stream: decides every waiting beat (the last one spans to the
    // end of the audio, at most one beat interval).
    void finish();

    // The oldest decision not yet read; false when there is none.
    bool nextDecision(BeatPosition& out);
    long droppedDecisions() const { return droppedDecisions_; }

    BarReference barReference() const;
    int beatsPerBar() const { return model_.beatsPerBar(); }
    // Beats waiting for their decision.
    int pendingBeats() const { return pendingCount_; }

  private:
    void decideReady(bool atEnd);
    void decideFront(double end);
    void pushDecision(const BeatPosition& d);

    BarEvidence evidence_;
    BarPositionModel model_;
    BeatEvidence scratch_;

    double pending_[kQueueCapacity];  // beat times, ring
    int pendingFirst_ = 0;
    int pendingCount_ = 0;
    long nextIndex_ = 0;  // index of the oldest pending beat
    double lastBeat_ = 0.0;
    bool haveBeat_ = false;
    double lastInterval_ = 0.5;

    BeatPosition decisions_[kQueueCapacity];
    int decisionFirst_ = 0;
    int decisionCount_ = 0;
    long droppedDecisions_ = 0;

    static constexpr int kCueCapacity = 16;
    double cues_[kCueCapacity];  // ring of the newest cue times
    int cueCount_ = 0;           // kept, at most kCueCapacity
    int cueNext_ = 0;            // slot of the next cue
    bool haveCue_ = false;
    double lastCue_ = 0.0;

    // Times of the last decided beats, ring by beat index.
    double recentTimes_[BarPositionModel::kMaxBeatsPerBar] = {};
};

}  // namespace meterTracker

#endif
