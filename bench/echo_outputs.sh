#!/usr/bin/env bash
# Writes what keldran-echo prints for a few dozen representative runs (every
# command, whole and fractional rates, both pulses, inverted, short and
# non-separable captures, and bad input) into a folder, one file per run, so
# that two builds can be compared byte for byte with diff -r.
#
# usage: bench/echo_outputs.sh KELDRAN-ECHO OUTPUT-FOLDER
set -uo pipefail
E=$(realpath "$1")
out=$(mkdir -p "$2" && realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
n=0
run() {
  n=$((n + 1))
  local name
  name=$(printf '%02d' "$n")
  "$E" "$@" >"$out/$name.out" 2>"$out/$name.err"
  echo "status $? for: $*" >>"$out/$name.err"
}
p7="x^7 + x^3 + 1"
p9="x^9 + x^4 + 1"
p12="x^12 + x^6 + x^4 + x^1 + 1"
run pattern --poly "$p7"
run pattern --poly "x^3+x+1" --periods 3 --format csv
run pattern --poly "$p9" --format f32 --periods 2
run simulate --poly "$p7" --samples-per-bit 8 --periods 4 --hts 0.1 --nlts 0.2 -o s7.f32
run simulate --poly "$p7" --samples-per-bit 6.37 --periods 3 --pulse gaussian --pw50 2 \
  --hts 0.05 --nlts 0.25 --start 12.7 --format csv -o s7.csv
run simulate --poly "$p9" --samples-per-bit 10 --periods 8 --hts 0.05 --nlts 0.15 --snr 30 \
  --start 100.3 -o s9.f32
run simulate --poly "$p9" --samples-per-bit 7.3 --periods 6 --hts 0.1 --nlts 0.25 --snr 30 -o s9r.f32
run simulate --poly "x^5 + x^2 + 1" --samples-per-bit 8 --periods 4 --nlts 0.2 -o s5.f32
run simulate --poly "x^7 + x^1 + 1" --samples-per-bit 8 --periods 4 --pw50 3 --hts 0.1 -o s7n.f32
run simulate --poly "$p12" --samples-per-bit 4.5 --periods 3 --hts 0.1 --nlts 0.2 --seed 5 \
  --snr 25 -o s12.f32
run simulate --poly "$p7" --samples-per-bit 8 --periods 1.5 -o short.f32
for f in s7.f32 s7.csv s9.f32 s9r.f32 s5.f32 s7n.f32 s12.f32 short.f32; do
  cp "$f" "$out/$f"
done
python3 -c "
import array,sys
a=array.array('f'); a.frombytes(open('s7.f32','rb').read())
array.array('f',[-x for x in a]).tofile(open('inv.f32','wb'))
b=array.array('h',[int(max(-32767,min(32767,x*8000))) for x in a]); b.tofile(open('s7.i16','wb'))"
run measure --poly "$p7" --samples-per-bit 8 s7.f32
run measure --poly "$p7" --samples-per-bit 8 --json s7.f32
run measure --poly "$p7" --samples-per-bit 8 --plot p1.svg s7.f32
run measure --poly "$p7" --samples-per-bit 8 inv.f32
run measure --poly "$p7" --samples-per-bit 8 --json s7.i16
run measure --poly "$p7" --samples-per-bit 6.37 s7.csv
run measure --poly "$p7" --samples-per-bit 6.37 --json s7.csv
run measure --poly "$p9" --samples-per-bit 10 --plot p2.svg s9.f32
run measure --poly "$p9" --samples-per-bit 10 --json s9.f32
run measure --poly "$p9" --samples-per-bit 7.3 --plot p3.svg s9r.f32
run measure --poly "$p9" --samples-per-bit 7.3 --json s9r.f32
run measure --poly "x^5 + x^2 + 1" --samples-per-bit 8 s5.f32
run measure --poly "x^5 + x^2 + 1" --samples-per-bit 8 --json --plot p4.svg s5.f32
run measure --poly "x^7 + x^1 + 1" --samples-per-bit 8 s7n.f32
run measure --poly "x^7 + x^1 + 1" --samples-per-bit 8 --json s7n.f32
run measure --poly "$p12" --samples-per-bit 4.5 s12.f32
run measure --poly "$p12" --samples-per-bit 4.5 --json --plot p5.svg s12.f32
run measure --poly "$p7" --samples-per-bit 8 short.f32
run measure --poly "$p7" --samples-per-bit 8 --format f32 - <s7.f32
run measure --poly "x^7 + x^1 + 1" --samples-per-bit 8 s7.f32
run measure --poly "$p7" --samples-per-bit 5 s7.f32
run measure --poly "$p7" --samples-per-bit 8.2 s7.f32
head -c 8300 s7.f32 >mid.f32
run measure --poly "$p7" --samples-per-bit 8 mid.f32
run simulate --poly "$p7" --samples-per-bit 6.3 --periods 2.05 -o c63.f32
run measure --poly "$p7" --samples-per-bit 6.3 c63.f32
printf 'volts\n1.0\n2.0\nabc\n' >b.csv
run measure --poly "$p7" --samples-per-bit 8 b.csv
printf '\0\0\200\77\0\0\300\177' >n.f32
run measure --poly "$p7" --samples-per-bit 8 n.f32
: >e.f32
run measure --poly "$p7" --samples-per-bit 8 e.f32
run measure --poly "$p7" --samples-per-bit 8 nothing.f32
run measure --poly "$p7" --samples-per-bit 8 - 
run pattern --poly "x^4 + x^2 + 1"
run pattern --poly "x^13 + x^4 + x^3 + x + 1"
run pattern --poly "x^7 + x^3 + 2"
run simulate --poly "$p7" --samples-per-bit 0
run simulate --poly "$p7" --samples-per-bit 8 --nlts inf
run simulate --poly "$p7" --samples-per-bit 8 --seed 18446744073709551616
run bogus
run
run --help
run measure --help
run --version
run pattern --poly "x^3 + x + 1" -o /dev/full
for f in p1.svg p2.svg p3.svg p4.svg p5.svg; do
  [ -f "$f" ] && cp "$f" "$out/$f"
done
echo "$n runs written to $out"
