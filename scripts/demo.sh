#!/usr/bin/env bash
# Installs what is needed, builds Kadenzo and analyses the bundled demo recording.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"${KADENZO_JOBS:-2}" --target kadenzo
./build/tools/kadenzo analyze data/demo.flac
