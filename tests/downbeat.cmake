# The downbeat stage: bar evidence, the model over bar positions and the stage
# that joins them, on synthetic music with known bars.
kadenzo_test(test_downbeat SOURCES test_downbeat.cpp LIBS metertracker LABELS tracker)
