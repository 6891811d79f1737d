// An engine fed by Kadenzo's own JACK client (jackclient.h): the client's
// audio in analysis hops, the frames the server skipped as silence (so that
// the tracker's time axis stays on the frame clock), and the client's frame
// clock as the engine clock. Shared by `kadenzo live` and the window.
#ifndef KADENZO_JACK_ENGINE_FEED_H
#define KADENZO_JACK_ENGINE_FEED_H

#include "jackclient.h"
#include "tempomind.h"

// Installs the client's clock as the engine's and starts delivery to the
// engine from the next cycle on. The engine's sequencer must be started.
void jack_feed_engine(JackEngineClient& client, TempoMind_t* engine);

#endif
