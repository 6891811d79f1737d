# The MIDI output driver: its recording backend, its use from several threads,
# and real MIDI through a JACK server of the test's own (label jack).
kadenzo_test(test_midioutput SOURCES test_midioutput.cpp LIBS tempomind)
kadenzo_test(test_midioutput_threads SOURCES test_midioutput_threads.cpp LIBS tempomind
             LABELS concurrency)
kadenzo_test(test_midioutput_jack SOURCES test_midioutput_jack.cpp LIBS tempomind LABELS jack)
# The test harness's JACK server dies with its test (label jack).
kadenzo_test(test_jack_server_harness SOURCES test_jack_server_harness.cpp LABELS jack)
