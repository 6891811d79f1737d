// The off-beat test of the enhanced model: the beat falls where the kick drum
// and the bass are. Over the last seconds of music the lowest bands' onset
// strength on the beat grid is compared with that of the same grid moved by
// each twelfth of a beat (the positions of its sixteenths and its triplet
// eighths); when one of them carries clearly more than the grid in use (e
// times as much: the grid sits on the off-beat, as on ska or polka, or a
// syncopated line drew it a sixteenth or a triplet off), the grid moves
// there, and it moves back only once the beat positions carry more again, so
// that the choice does not flicker.
#ifndef METERTRACKER_OFFBEATTEST_H
#define METERTRACKER_OFFBEATTEST_H

#include "accentHistory.h"

namespace meterTracker {

class OffbeatTest {
  public:
    explicit OffbeatTest(double accentRate) : fs_(accentRate) {}

    void reset() { shift_ = 0; }

    // For the step whose last frame is lastFrame and whose beat grid is
    // (period, phase) in seconds on the accent clock: the phase to use, the
    // given one or half a period later.
    double decide(const AccentHistory& history, unsigned lastFrame, double period, double phase);

    bool shifted() const { return shift_ != 0; }
    // log(strongest offset's / beat grid's strength) of the latest decision
    // (0 without evidence).
    double evidence() const { return evidence_; }

  private:
    // Mean of the low-band maxima near the grid points phase + k period
    // that lie in the window ending at end (seconds).
    double strengthAt(const AccentHistory& history, double period, double phase, double end,
                      unsigned* points) const;

    double fs_;
    unsigned shift_ = 0;  // twelfths of a period the grid is moved by
    double evidence_ = 0.0;
};

}  // namespace meterTracker

#endif
