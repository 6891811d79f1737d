# The downbeat stage over five minutes of audio and beats (compare its
# audio_s_per_s with bench_tracker's whole tracker: the stage should cost
# about 5 % of it).
kadenzo_bench(bench_downbeat SOURCES bench_downbeat.cpp LIBS metertracker)
