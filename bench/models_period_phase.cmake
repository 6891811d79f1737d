# Period and phase stages of one analysis step, and one step's whole model work.
kadenzo_bench(bench_period_phase SOURCES bench_period_phase.cpp LIBS metertracker)
