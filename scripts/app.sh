#!/usr/bin/env bash
# Installs what is needed, builds the desktop application and starts it
# (needs a desktop session, an audio input and a MIDI output port).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"${KADENZO_JOBS:-2}" --target pulsora
exec ./build/pulsora/pulsora "$@"
