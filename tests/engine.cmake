# The engine runtime: the meter ticker and its tick timing on a virtual clock,
# the tm_ interface, the engine's threads (label concurrency, run under
# ThreadSanitizer in CI), real MIDI through JACK (label jack) and
# `kadenzo render`.
kadenzo_test(test_ticker_timing SOURCES test_ticker_timing.cpp LIBS tempomind)
kadenzo_test(test_engine_interface SOURCES test_engine_interface.cpp LIBS tempomind
             LABELS concurrency)
kadenzo_test(test_engine_threads SOURCES test_engine_threads.cpp LIBS tempomind
             LABELS concurrency)
kadenzo_test(test_engine_jack SOURCES test_engine_jack.cpp LIBS tempomind LABELS jack)
kadenzo_test(test_render SOURCES test_render.cpp LIBS kadenzo_tools)
kadenzo_test(test_render_controls SOURCES test_render_controls.cpp LIBS kadenzo_tools)
# The estimate path between the tracker and the ticker: the smoothed grid and
# the performer's corrections.
kadenzo_test(test_gridsmoother SOURCES test_gridsmoother.cpp LIBS tempomind)
kadenzo_test(test_corrections SOURCES test_corrections.cpp LIBS tempomind)
