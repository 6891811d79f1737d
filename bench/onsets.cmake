# Accent front end: addData + process over a minute of audio.
kadenzo_bench(bench_onsets SOURCES bench_onsets.cpp LIBS metertracker)
