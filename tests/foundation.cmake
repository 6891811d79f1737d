# Engine logging, audio sequencer, signal helpers and matrix library.
kadenzo_test(test_logging SOURCES test_logging.cpp LIBS tempomind)
kadenzo_test(test_sequencer SOURCES test_sequencer.cpp LIBS tempomind LABELS concurrency)
kadenzo_test(test_fft_and_filter SOURCES test_fft_and_filter.cpp LIBS metertracker
             ORACLE oracles/fft_and_filter.py)
kadenzo_test(test_matrix SOURCES test_matrix.cpp LIBS metertracker)
