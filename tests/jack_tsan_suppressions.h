// For tests that pass MIDI through JACK under the race detector. JACK's
// lock-free ring buffers (between RtMidi's sending thread and JACK's process
// thread) and the queue inside RtMidi's input order their copies with
// barriers the race detector does not see. Include this header in one file
// of a test program only.
#ifndef KADENZO_TESTS_JACK_TSAN_SUPPRESSIONS_H
#define KADENZO_TESTS_JACK_TSAN_SUPPRESSIONS_H

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_ringbuffer_read\n"
           "race:jack_ringbuffer_peek\n"
           "race:jack_ringbuffer_write\n"
           "race:MidiInApi::MidiQueue\n";
}
#endif

#endif
