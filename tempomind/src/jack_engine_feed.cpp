#include "jack_engine_feed.h"

namespace {

void on_audio(const float* mono, unsigned long frames, double time, void* engine) {
    tm_process_audio(mono, frames, static_cast<TempoMind_t*>(engine), time);
}

void on_gap(unsigned long frames, double time, void* engine) {
    const unsigned long kPiece = JackEngineClient::kPieceFrames;
    static const float kSilence[JackEngineClient::kPieceFrames] = {};
    for (unsigned long done = 0; done < frames; done += kPiece) {
        const unsigned long piece = frames - done < kPiece ? frames - done : kPiece;
        tm_process_audio(kSilence, piece, static_cast<TempoMind_t*>(engine),
                         time + static_cast<double>(done) / JackEngineClient::kEngineRate);
    }
}

double engine_time(void* client) {
    return static_cast<JackEngineClient*>(client)->engine_time();
}

}  // namespace

void jack_feed_engine(JackEngineClient& client, TempoMind_t* engine) {
    // Delivery first: its first frame is time 0 from then on, so that a
    // restarted engine never reads the previous run's time.
    client.start_input(&on_audio, &on_gap, engine);
    tm_register_gettime_cb(engine, &client, &engine_time);
}
