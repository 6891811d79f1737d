#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the normal build with all tests (the JACK tests one at a time at the end),
#   2. the engine and analysis tests under AddressSanitizer + UBSan,
#   3. the concurrency tests and the JACK tests (audio and MIDI through a
#      JACK server, kadenzo live end to end) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KADENZO_JOBS:-2}

bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}

# The sanitizer builds keep line tables only (-g1): their reports need
# functions and lines, and full debug information makes them build a quarter
# slower and their objects twice as large.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
                 "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")

status=0
failures=$(mktemp)
stage() {  # stage NAME: announces a stage with the time taken so far
    echo "== $1 (at ${SECONDS}s)"
}
# The end of a failed test's output, from ctest's log in DIR.
failed_output() {  # failed_output DIR NAME
    awk -v name="$2" '!on && index($0, "Testing: ") && substr($0, index($0, "Testing: ") + 9) == name {on = 1} on {print} on && index($0, "\"" name "\" end time") {exit}' \
        "$1/Testing/Temporary/LastTest.log" | tail -n 40
}
run_ctest() {  # run_ctest DIR ARGS...: runs ctest in DIR, remembers a failure, goes on
    local dir=$1
    shift
    rm -f "$dir/Testing/Temporary/LastTestsFailed.log"
    if ! (cd "$dir" && ctest --output-on-failure --timeout 600 "$@"); then
        status=1
        # Kept for the summary at the end, where a log's tail shows it.
        local name
        while IFS=: read -r _ name; do
            echo "-- $dir: $name (ctest $*)"
            failed_output "$dir" "$name"
        done < "$dir/Testing/Temporary/LastTestsFailed.log" >> "$failures" 2>&1 ||
            echo "-- $dir: ctest $* failed" >> "$failures"
    fi
}

stage "build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
run_ctest build -j"$jobs" -LE jack
run_ctest build -L jack

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan "${sanitizer_flags[@]}" -DKADENZO_ASAN=ON \
      -DKADENZO_BUILD_APP=OFF -DKADENZO_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 run_ctest build-asan -j"$jobs" -LE jack

stage "ThreadSanitizer (concurrency and JACK tests)"
cmake -S . -B build-tsan "${sanitizer_flags[@]}" -DKADENZO_TSAN=ON \
      -DKADENZO_BUILD_BENCH=OFF
cmake --build build-tsan -j"$jobs" --target concurrency_tests jack_tests
tsan_options="halt_on_error=1 suppressions=$PWD/tests/tsan.supp"
TSAN_OPTIONS=$tsan_options run_ctest build-tsan -j"$jobs" -L concurrency -LE jack
TSAN_OPTIONS=$tsan_options run_ctest build-tsan -L jack

stage "done"
if [ -s "$failures" ]; then
    echo "== failed tests, with the end of their output"
    cat "$failures"
fi
rm -f "$failures"
exit $status
