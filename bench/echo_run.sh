#!/usr/bin/env bash
# Prints the figures of keldran-echo's speed and memory in the README: measure
# on a float32 capture of 9.8 million samples (order 12, 16 samples per bit,
# 150 periods) against cat of the same file to /dev/null, paired runs with
# the order alternating, and peak memory at 10 and at 150 periods.
#
# usage: bench/echo_run.sh [paired-runs]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-30}

cmake --preset bench >/dev/null
cmake --build --preset bench --target keldran-echo >/dev/null
echo_bin=build/bench/keldran-echo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
poly="x^12 + x^6 + x^4 + x^1 + 1"
"$echo_bin" simulate --poly "$poly" --samples-per-bit 16 --periods 150 --hts 0.1 --nlts 0.2 \
  --snr 30 -o "$work/150.f32"
head -c $((4095 * 16 * 10 * 4)) "$work/150.f32" >"$work/10.f32"
echo "== measure against cat, $(($(wc -c <"$work/150.f32") / 4)) samples, $runs paired runs"
python3 - "$echo_bin" "$poly" "$work/150.f32" "$runs" <<'PY'
import statistics, subprocess, sys, time
program, poly, capture, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
measure = [program, "measure", "--poly", poly, "--samples-per-bit", "16", capture]
cat = ["cat", capture]
def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start
for _ in range(3):
    timed(measure), timed(cat)
pairs = []
for i in range(runs):
    if i % 2:
        m, c = timed(measure), timed(cat)
    else:
        c, m = timed(cat), timed(measure)
    pairs.append((m, c))
ms = statistics.median(p[0] for p in pairs)
cs = statistics.median(p[1] for p in pairs)
ratio = statistics.median(p[0] / p[1] for p in pairs)
print(f"  measure {ms * 1000:.1f} ms, cat {cs * 1000:.1f} ms, median ratio {ratio:.2f} (target at most 4)")
PY
echo "== measure of a capture at 16.3 samples per bit (converted to 16), median of 5 runs"
"$echo_bin" simulate --poly "$poly" --samples-per-bit 16.3 --periods 150 --hts 0.1 --nlts 0.2 \
  -o "$work/16.3.f32"
for _ in 1 2 3 4 5; do
  { /usr/bin/time -f "%e" "$echo_bin" measure --poly "$poly" --samples-per-bit 16.3 \
    "$work/16.3.f32" >/dev/null; } 2>&1
done | sort -n | sed -n 3p | sed 's/^/  seconds: /'
echo "== peak resident memory (KiB)"
for periods in 10 150; do
  kib=$( { /usr/bin/time -f "%M" "$echo_bin" measure --poly "$poly" --samples-per-bit 16 \
    "$work/$periods.f32" >/dev/null; } 2>&1)
  echo "  $periods periods: $kib"
done
