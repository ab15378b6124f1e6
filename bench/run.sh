#!/usr/bin/env bash
# Morvelle's own time per file in a batch run of 200 small files, beyond the tool's run, and
# ImageMagick's convert over the same files for comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! dpkg-query -W -f='${Status}' imagemagick 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update >&2
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends imagemagick >&2
fi
cmake -S . -B build >/dev/null
cmake --build build --target run_bench --parallel "$(nproc)" >/dev/null
# Qt's offscreen platform says for every run that it cannot raise a window; nothing else of
# what the benchmark prints is passed over.
CONVERT=${CONVERT:-/usr/bin/convert-im6.q16} QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
    build/bin/run_bench 2> >(grep -v --line-buffered '^This plugin does not support raise()$' >&2)
