#include "pulseTrain.h"

namespace meterTracker {

void PulseTrain::reset() {
    estimates_.clear();
    first_ = count_ = current_ = chain_ = 0;
    filled_ = false;
    pulses_.assign(1, 0.0);
    dropped_ = 0;
}

void PulseTrain::add(double period, double phase) {
    estimates_.push_back({period, phase});
    ++count_;
    if (count_ == 1) {
        pulses_.assign(1, phase);
        dropped_ = 0;
        return;
    }
    advance();
    // Estimates before the current one are never read again.
    const std::size_t unused = current_ - first_;
    if (unused > 64 && unused * 2 > estimates_.size()) {
        estimates_.erase(estimates_.begin(), estimates_.begin() + static_cast<std::ptrdiff_t>(unused));
        first_ = current_;
    }
}

// The steps of meterPerPha2Pulse, carried on from where the previous
// estimate left them: fill the gap after the current estimate once the next
// one is known, then look for the next estimate more than half a period
// after the chain of estimates considered before it.
void PulseTrain::advance() {
    auto at = [this](std::size_t i) -> const Estimate& { return estimates_[i - first_]; };
    for (;;) {
        if (!filled_) {
            if (current_ + 1 >= count_) return;
            const Estimate& e = at(current_);
            // A period that is not positive would never reach the next
            // estimate, so it fills nothing.
            if (e.period > 0.0) {
                const double limit = at(current_ + 1).phase - 0.5 * e.period;
                for (unsigned k = 1;; ++k) {
                    const double pulse = e.phase + k * e.period;
                    if (!(pulse < limit)) break;
                    pulses_.push_back(pulse);
                }
            }
            filled_ = true;
        }
        std::size_t next = count_;
        for (std::size_t j = chain_ + 1; j < count_; j = chain_ + 1) {
            if (at(chain_).phase + 0.5 * at(chain_).period > at(j).phase) {
                chain_ = j;
            } else {
                next = j;
                break;
            }
        }
        if (next == count_) return;
        current_ = chain_ = next;
        filled_ = false;
        pulses_.push_back(at(current_).phase);
    }
}

void PulseTrain::dropBefore(double time) {
    // The leading pulses before time (the newest always stays).
    std::size_t n = 0;
    while (n + 1 < pulses_.size() && pulses_[n] < time) ++n;
    // Erased in batches, so that dropping costs little per pulse.
    if (n < 64 || n * 4 < pulses_.size()) return;
    pulses_.erase(pulses_.begin(), pulses_.begin() + static_cast<std::ptrdiff_t>(n));
    dropped_ += n;
}

}  // namespace meterTracker
