#!/usr/bin/env bash
# The recorder's CPU cost per recorded sample, of two builds side by side:
# each round records a reliable keep-all ddsperf publisher at a fixed rate
# with the one build and then the other, and reads the recorder's CPU time
# (user + system, /proc) and the bag's rows. On a busy machine this is
# steadier than the lossless-rate ladder of record_bench.sh.
#
#   bench/record/record_cpu.sh BEFORE_BUILD AFTER_BUILD [RATE] [SECONDS] [ROUNDS] [SIZE]
#
# Defaults: 20000 Hz, 5 s, 5 rounds, 100-byte samples. Domains 200..219.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
before="$(cd "$1" && pwd)"
after="$(cd "$2" && pwd)"
rate="${3:-20000}"
secs="${4:-5}"
rounds="${5:-5}"
size="${6:-100}"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
command -v ddsperf >/dev/null || { echo "ddsperf not found (cyclonedds-tools)" >&2; exit 2; }
command -v sqlite3 >/dev/null || { echo "sqlite3 not found" >&2; exit 2; }
work="$(mktemp -d /tmp/rnr-record-cpu-XXXXXX)"
trap 'rm -rf "$work"' EXIT
ticks="$(getconf CLK_TCK)"
run=0

# Prints "<cpu seconds> <rows>" of one recording with the given build.
record_once() { # build
  local tool="$1/src/app/quorvin-rnr" domain=$((200 + run % 20)) dir="$work/run-$run" pid cpu rows
  run=$((run + 1))
  mkdir -p "$dir"
  (cd "$dir" && exec "$tool" record -d "$domain" -l warn KeyedSeq DDSPerfRDataKS >"$dir/out" 2>&1) &
  pid=$!
  sleep 1
  ddsperf -i "$domain" -k all -D "$secs" pub "$rate" size "$size" >/dev/null 2>&1 || true
  sleep 1
  cpu="$(awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$pid/stat")"
  kill -INT "$pid"
  wait "$pid" || true
  rows="$(sqlite3 "$dir"/dovuve_*.sqlite3 'SELECT COUNT(*) FROM data' 2>/dev/null || echo 0)"
  rm -rf "$dir"
  echo "$cpu $rows"
}

echo "recorder CPU per sample: ${rate} Hz, ${size} B, ${secs} s per run, ${rounds} rounds"
ratios=()
for r in $(seq 1 "$rounds"); do
  read -r cb rb <<<"$(record_once "$before")"
  read -r ca ra <<<"$(record_once "$after")"
  ub="$(awk -v c="$cb" -v n="$rb" 'BEGIN { if (n > 0) printf "%.3f", c * 1e6 / n; else print "nan" }')"
  ua="$(awk -v c="$ca" -v n="$ra" 'BEGIN { if (n > 0) printf "%.3f", c * 1e6 / n; else print "nan" }')"
  ratio="$(awk -v a="$ua" -v b="$ub" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "nan" }')"
  ratios+=("$ratio")
  printf '  round %d: before %s s / %s rows = %s us/sample; after %s s / %s rows = %s us/sample; after/before %s\n' \
    "$r" "$cb" "$rb" "$ub" "$ca" "$ra" "$ua" "$ratio"
done
median="$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')"
echo "RESULT record_cpu $rate $size median_after_over_before $median"
