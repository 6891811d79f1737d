# The downbeat stage: bar evidence, the model over bar positions and the stage
# that joins them, on synthetic music with known bars.
kadenzo_test(test_downbeat SOURCES test_downbeat.cpp LIBS metertracker LABELS tracker)
target_compile_options(test_downbeat PRIVATE -Wno-mismatched-new-delete)  # counting replaces global new/delete with malloc/free
