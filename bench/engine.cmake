# The engine runtime: the cost of a timer pass and of `kadenzo render`, and
# the jitter of the live timer loop (MIDI clock intervals at a fixed tempo,
# at the send and through a JACK server of the benchmark's own).
kadenzo_bench(bench_engine_timer SOURCES bench_engine_timer.cpp LIBS kadenzo_tools)
kadenzo_bench(bench_engine_jitter SOURCES bench_engine_jitter.cpp LIBS tempomind)
# Hours of music through the engine on the virtual clock: CPU per audio
# minute, CPU per analysis step and memory at intervals (a plain program).
add_executable(bench_soak bench_soak.cpp)
target_link_libraries(bench_soak PRIVATE kadenzo_tools)
target_include_directories(bench_soak PRIVATE ${PROJECT_SOURCE_DIR}/tests)
