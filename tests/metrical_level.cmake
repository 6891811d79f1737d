# Metrical-level correction of the enhanced model on synthetic accent patterns.
kadenzo_test(test_metrical_level SOURCES test_metrical_level.cpp LIBS metertracker LABELS models)
