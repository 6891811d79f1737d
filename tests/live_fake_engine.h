// A stand-in for the engine's tm_ interface, linked into the facade and
// audio interface tests instead of the engine: it answers with the values
// the test sets (phases, level, non-beatyness, MIDI ports), keeps a log of
// the calls made on the application's thread, and records the audio blocks
// the audio thread hands over, without locks or allocation on that thread.
#ifndef KADENZO_TESTS_LIVE_FAKE_ENGINE_H
#define KADENZO_TESTS_LIVE_FAKE_ENGINE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tempomind.h"

namespace fake {

// One audio block as tm_process_audio received it.
struct Block {
    double time;
    unsigned long count;
    float first;
    float minimum;
    float maximum;
    bool stopped;  // arrived while the engine was stopped (between tm_stop and tm_run)
};

struct Engine {
    // What tm_init does: 0 returns a handle, anything else is the error status.
    int initFailure = 0;

    // Answers to the queries.
    double bar = 1.0, beat = 1.0, tatum = 1.0;
    double inputLevel = -100.0;
    double nonBeatyness = 0.0;
    int steadyBeat = 1;  // tm_has_steady_beat
    double antiDelay = 0.0;
    std::vector<std::string> midiPorts{"Port A", "Port B"};
    int openPort = 0;

    // The installed clock.
    std::atomic<tm_gettime_cb> gettime{nullptr};
    std::atomic<void*> gettimeUser{nullptr};
    double readClock() const {
        tm_gettime_cb cb = gettime.load();
        return cb ? cb(gettimeUser.load()) : 0.0;
    }

    // Calls made on the application's thread, "name arg arg".
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> hold(lock);
        return log;
    }
    void clearCalls() {
        std::lock_guard<std::mutex> hold(lock);
        log.clear();
    }
    void call(const std::string& text) {
        std::lock_guard<std::mutex> hold(lock);
        log.push_back(text);
    }
    int polls = 0;  // tm_get_meter_phases calls

    // Audio blocks, written by the audio thread only.
    static constexpr std::size_t kMaxBlocks = 1 << 17;
    std::vector<Block> blocks = std::vector<Block>(kMaxBlocks);
    std::atomic<std::size_t> blockCount{0};
    std::atomic<bool> stopped{false};
    std::vector<Block> receivedBlocks() const {
        const std::size_t n = blockCount.load();
        return std::vector<Block>(blocks.begin(), blocks.begin() + n);
    }

    // Set by tm_close: the clock could still be read while the engine closed.
    double clockAtClose = -1.0;

    mutable std::mutex lock;
    std::vector<std::string> log;
};

// The one fake engine of the test process; reset() before each test.
Engine& engine();
void reset();

}  // namespace fake

#endif
