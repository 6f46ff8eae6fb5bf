#!/usr/bin/env bash
# Builds the benchmarks (Release) and prints the figures of the Performance
# section of the README: whole-process wall time of keldran answering order 12
# against cat of the same saved report, its instruction count under callgrind,
# its peak memory against a C++ hello world, and the engine's operations.
#
# usage: bench/run.sh [paired-runs]   (default 50; set NO_MICRO=1 to skip Google Benchmark)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-50}

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bin=build/bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo 12 > "$work/answer"
"$bin/keldran" < "$work/answer" > "$work/report" 2>/dev/null

echo "== Whole process, order 12, against cat of the saved report ($(wc -c < "$work/report") bytes)"
"$bin/paired_runs" "$bin/keldran" "$work/report" "$work/answer" "$runs" null
"$bin/paired_runs" "$bin/keldran" "$work/report" "$work/answer" "$runs" pipe

echo "== Instructions of the whole order-12 run (callgrind)"
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" "$bin/keldran" \
  < "$work/answer" > /dev/null 2> "$work/callgrind.log"
grep -E 'Collected' "$work/callgrind.log" | sed 's/^==[0-9]*== */  /'

echo "== Peak resident memory (KiB)"
keldran_kib=$("$bin/paired_runs" --peak "$bin/keldran" "$work/answer")
hello_kib=$("$bin/paired_runs" --peak "$bin/hello" "$work/answer")
echo "  keldran $keldran_kib, hello world $hello_kib, difference $((keldran_kib - hello_kib))"

if [ -z "${NO_MICRO:-}" ]; then
  echo "== Engine operations (Google Benchmark)"
  "$bin/engine_bench" --benchmark_min_time=0.2
fi
