#!/usr/bin/env bash
# Prints the figures of keldran-echo's speed and memory in the README: measure
# on a float32 capture of 9.8 million samples (order 12, 16 samples per bit,
# 150 periods) against cat of the same file to /dev/null, paired runs with
# the order alternating; the same capture at 16.3 samples per bit against it, paired
# alike; and peak memory at 10 and at 150 periods at either rate; given another
# build of keldran-echo, also measure against that build's measure, paired alike.
#
# usage: bench/echo_run.sh [paired-runs [other-keldran-echo]]   (default 30 runs)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-30}
other=${2:-}

cmake --preset bench >/dev/null
cmake --build --preset bench --target keldran-echo >/dev/null
echo_bin=build/bench/keldran-echo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
poly="x^12 + x^6 + x^4 + x^1 + 1"
"$echo_bin" simulate --poly "$poly" --samples-per-bit 16 --periods 150 --hts 0.1 --nlts 0.2 \
  --snr 30 -o "$work/150.f32"
head -c $((4095 * 16 * 10 * 4)) "$work/150.f32" >"$work/10.f32"
"$echo_bin" simulate --poly "$poly" --samples-per-bit 16.3 --periods 150 --hts 0.1 --nlts 0.2 \
  --snr 30 -o "$work/150-16.3.f32"
head -c $((4095 * 163 * 4)) "$work/150-16.3.f32" >"$work/10-16.3.f32"
echo "== measure against cat, $(($(wc -c <"$work/150.f32") / 4)) samples, $runs paired runs"
python3 - "$echo_bin" "$poly" "$work/150.f32" "$runs" "$other" "$work/150-16.3.f32" <<'PY'
import statistics, subprocess, sys, time
program, poly, capture, runs, other, fractional = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], sys.argv[6]
arguments = ["measure", "--poly", poly, "--samples-per-bit", "16", capture]
def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start
def paired(a, b):
    for _ in range(3):
        timed(a), timed(b)
    pairs = []
    for i in range(runs):
        if i % 2:
            x, y = timed(a), timed(b)
        else:
            y, x = timed(b), timed(a)
        pairs.append((x, y))
    return (statistics.median(p[0] for p in pairs) * 1000, statistics.median(p[1] for p in pairs) * 1000,
            statistics.median(p[0] / p[1] for p in pairs))
m, c, ratio = paired([program] + arguments, ["cat", capture])
print(f"  measure {m:.1f} ms, cat {c:.1f} ms, median ratio {ratio:.2f} (target at most 2)")
f, w, ratio = paired([program, "measure", "--poly", poly, "--samples-per-bit", "16.3", fractional],
                     [program] + arguments)
print(f"  at 16.3 samples per bit {f:.1f} ms, at 16 {w:.1f} ms, median ratio {ratio:.2f} (target at most 1.5)")
if other:
    m, o, ratio = paired([program] + arguments, [other] + arguments)
    print(f"  against {other}: {m:.1f} ms and {o:.1f} ms, median ratio {ratio:.2f} (the build before)")
PY
echo "== peak resident memory (KiB)"
for rate in 16 16.3; do
  for periods in 10 150; do
    file="$work/$periods.f32"
    [[ $rate == 16 ]] || file="$work/$periods-$rate.f32"
    kib=$( { /usr/bin/time -f "%M" "$echo_bin" measure --poly "$poly" --samples-per-bit $rate \
      "$file" >/dev/null; } 2>&1)
    echo "  $rate samples per bit, $periods periods: $kib"
  done
done
