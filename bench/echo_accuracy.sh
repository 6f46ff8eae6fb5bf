#!/usr/bin/env bash
# Prints the accuracy grids of the README: keldran-echo's measurement of captures
# made by a plain transcription of the channel model, apart from `simulate`.
#
# usage: bench/echo_accuracy.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target echo_accuracy >/dev/null
build/bench/echo_accuracy
