# Accent front end (Onsets) and its accent and onset queries.
kadenzo_test(test_onsets_reference SOURCES test_onsets_reference.cpp LIBS metertracker LABELS onsets
             ORACLE oracles/onsets_reference.py)
kadenzo_test(test_onsets SOURCES test_onsets.cpp LIBS metertracker LABELS onsets)
kadenzo_test(test_onsets_queries SOURCES test_onsets_queries.cpp LIBS metertracker LABELS onsets)
