#!/usr/bin/env bash
# How long one drop of 10,000 files takes onto a Drop Screen that already lists 10,000.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build --target drop_bench --parallel "$(nproc)" >/dev/null
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} build/bin/drop_bench
