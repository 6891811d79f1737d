# Resonator bank: one analysis step's resonator work.
kadenzo_bench(bench_resonators SOURCES bench_resonators.cpp LIBS metertracker)
