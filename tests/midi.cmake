# The MIDI output driver: its recording backend, its use from several threads,
# and real MIDI through a JACK server of the test's own (label jack).
kadenzo_test(test_midioutput SOURCES test_midioutput.cpp LIBS tempomind)
kadenzo_test(test_midioutput_threads SOURCES test_midioutput_threads.cpp LIBS tempomind
             LABELS concurrency)
kadenzo_test(test_midioutput_jack SOURCES test_midioutput_jack.cpp LIBS tempomind LABELS jack)
# The test harness's JACK server dies with its test (label jack).
kadenzo_test(test_jack_server_harness SOURCES test_jack_server_harness.cpp LABELS jack)
# The stamped MIDI queue of the JACK backend and its placement in cycles,
# without a server; one producer and one consumer thread (label concurrency).
kadenzo_test(test_midiqueue SOURCES test_midiqueue.cpp LIBS tempomind LABELS concurrency)
# Kadenzo's own JACK client: frame-exact MIDI seen by a raw receiver, the
# driver on it, its own port, receivers that leave, a server that dies or
# runs at another rate (label jack).
kadenzo_test(test_jackclient_jack SOURCES test_jackclient_jack.cpp LIBS tempomind LABELS jack)
