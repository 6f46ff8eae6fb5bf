#!/usr/bin/env bash
# Prints the figures of reading an oscilloscope file in the README: measure on an
# 8-bit LeCroy trace of 100 million samples (order 12, 16 samples per bit, 1527
# periods) against cat of the same file to /dev/null, paired runs with the order
# alternating, and peak memory on that trace and on one of its first 10 periods.
#
# usage: bench/trace_run.sh [paired-runs]   (default 10 runs)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}

cmake --preset bench >/dev/null
cmake --build --preset bench --target keldran-echo make_trace >/dev/null
echo_bin=build/bench/keldran-echo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
poly="x^12 + x^6 + x^4 + x^1 + 1"
for periods in 10 1527; do
  "$echo_bin" simulate --poly "$poly" --samples-per-bit 16 --periods $periods --hts 0.1 \
    --nlts 0.2 --snr 30 | build/bench/make_trace >"$work/$periods.trc"
done
"$echo_bin" info "$work/1527.trc" | sed 's/^/  /'
echo "== measure against cat, $(wc -c <"$work/1527.trc") bytes, $runs paired runs"
python3 - "$echo_bin" "$poly" "$work/1527.trc" "$runs" <<'PY'
import statistics, subprocess, sys, time
program, poly, capture, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
arguments = [program, "measure", "--poly", poly, "--bit-rate", "6.25G", capture]
def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start
for _ in range(2):
    timed(arguments), timed(["cat", capture])
pairs = []
for i in range(runs):
    if i % 2:
        x, y = timed(arguments), timed(["cat", capture])
    else:
        y, x = timed(["cat", capture]), timed(arguments)
    pairs.append((x, y))
m = statistics.median(p[0] for p in pairs) * 1000
c = statistics.median(p[1] for p in pairs) * 1000
ratio = statistics.median(p[0] / p[1] for p in pairs)
print(f"  measure {m:.1f} ms, cat {c:.1f} ms, median ratio {ratio:.2f} (target at most 3)")
PY
echo "== peak resident memory (KiB)"
for periods in 10 1527; do
  kib=$( { /usr/bin/time -f "%M" "$echo_bin" measure --poly "$poly" --bit-rate 6.25G \
    "$work/$periods.trc" >/dev/null; } 2>&1)
  echo "  $periods periods: $kib"
done
