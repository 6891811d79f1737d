#!/usr/bin/env bash
# Fuzzes the audio file reader and the meter tracker with libFuzzer (clang,
# AddressSanitizer and UndefinedBehaviorSanitizer) for a bounded time:
#   bash scripts/fuzz.sh [SECONDS]      (default 60)
# Starts from the seed corpus in fuzz/corpus (left untouched); the inputs it
# finds and any crash reproducers go to build-fuzz/. Not part of CI's tests.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${KADENZO_JOBS:-2}

bash scripts/setup.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKADENZO_FUZZ=ON -DKADENZO_ASAN=ON -DKADENZO_BUILD_APP=OFF -DKADENZO_BUILD_TESTS=OFF \
    -DKADENZO_BUILD_BENCH=OFF
cmake --build build-fuzz -j"$jobs" --target fuzz_audio_tracker

mkdir -p build-fuzz/corpus build-fuzz/crashes
cp -n fuzz/corpus/* build-fuzz/corpus/
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp \
    ./build-fuzz/fuzz/fuzz_audio_tracker -max_total_time="$seconds" \
    -rss_limit_mb=2048 -timeout=20 -artifact_prefix=build-fuzz/crashes/ \
    build-fuzz/corpus
