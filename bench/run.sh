#!/usr/bin/env bash
# Morvelle's own time per file in a batch run of 200 small files, beyond the tool's run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build --target run_bench --parallel "$(nproc)" >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} build/bin/run_bench
