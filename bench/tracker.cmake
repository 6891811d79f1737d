# The meter tracker driver over five minutes of audio: whole tracker and its
# accent front end alone (the models' share is the difference).
kadenzo_bench(bench_tracker SOURCES bench_tracker.cpp LIBS metertracker)
