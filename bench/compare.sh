#!/usr/bin/env bash
# Two builds side by side on a quick set of benchmarks: the bag store, the
# recorder at 100 B and 4 KiB, zero-gap replay, replay pacing at 1 kHz, and
# the mcap and json exports. Rounds alternate which build goes first, and
# each figure is taken relative to a reference measured in the same run of
# the same build (bare SQLite, ddsperf, the spinning reference pacer), so
# that the machine's load cancels out as far as it can. Prints one table:
# after/before per figure, median over the rounds, with the lowest and the
# highest round. Higher is better for every figure.
#
#   bench/compare.sh BEFORE_BUILD AFTER_BUILD [ROUNDS] [RECORD_SECONDS]
#
# Both builds: release builds with the benchmarks (bench/run_all.sh names
# the targets). ROUNDS defaults to 3, RECORD_SECONDS (each recorder run) to 5.
# Domains 180..220 only, all traffic on loopback. About 4 minutes a round.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -ge 2 ] || { sed -n '2,15p' "$0" >&2; exit 2; }
before="$(cd "$1" && pwd)"
after="$(cd "$2" && pwd)"
rounds="${3:-3}"
record_secs="${4:-5}"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
for b in "$before" "$after"; do
  for f in src/app/quorvin-rnr bench/bag/bag_insert_bench bench/replay/replay_bench \
    bench/bagtool/bagtool_export_bench bench/record/record_bench_bag_stats; do
    [ -x "$b/$f" ] || { echo "missing $b/$f" >&2; exit 2; }
  done
done
work="$(mktemp -d /tmp/rnr-compare-XXXXXX)"
trap 'rm -rf "$work"' EXIT

# Each line of $work/figures: round build figure value.
figures="$work/figures"
: >"$figures"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.4f", a / b; else print 0 }'; }

measure() { # round label build
  local round="$1" label="$2" build="$3"
  local out="$work/$label-$round"
  mkdir -p "$out"
  # The exports before the store: for minutes after gigabytes were written
  # the mcap export, which writes an output file, slows down; the bare read
  # does not.
  sync
  "$build/bench/bagtool/bagtool_export_bench" 200000 1 "$out" >"$out/export" 2>&1 || true
  awk -v r="$round" -v l="$label" '$1 == "RESULT" && $2 == "export" {
    print r, l, "mcap/bare_read", $6; print r, l, "json/bare_read", $7 }' "$out/export" >>"$figures"
  "$build/bench/bag/bag_insert_bench" 102400 3 "$out" 4096 >"$out/store" 2>&1 || true
  awk -v r="$round" -v l="$label" '$1 ~ /^[0-9]+$/ && NF >= 4 && ($1 == 100 || $1 == 4096) {
    print r, l, "store/bare_" $1 "B", $4 }' "$out/store" >>"$figures"
  "$build/bench/replay/replay_bench" 1 >"$out/replay" 2>&1 || true
  read -r _ _ _ replay _ ddsperf < <(grep '^RESULT speed' "$out/replay" || echo "- - - 0 - 0")
  echo "$round $label zero-gap_replay/ddsperf_pub $(ratio "$replay" "$ddsperf")" >>"$figures"
  local ours spin
  ours="$(awk '$1 == "RESULT" && $2 == "pacing" && $3 == "replay" && $4 == 1000 { print $8 }' "$out/replay")"
  spin="$(awk '$1 == "RESULT" && $2 == "pacing" && $3 == "ref-spin" && $4 == 1000 { print $8 }' "$out/replay")"
  echo "$round $label pacing_1kHz_p99:ref-spin/replay $(ratio "${spin:-0}" "${ours:-0}")" >>"$figures"
}

# The recorders of both builds, saturated, in the order given; rows/s.
record_pair() { # round first_label first_build second_label second_build
  local round="$1"
  local out="$work/record-$1"
  ROUNDS=1 bash "$root/bench/record/record_bench.sh" "$3" "$record_secs" "$5" >"$out" 2>&1 || true
  awk -v r="$round" -v a="$2" -v b="$4" '$1 == "RESULT" && $2 == "record_vs_before" {
    print r, a, "record_rows/s_" $3 "B", $4; print r, b, "record_rows/s_" $3 "B", $5 }' "$out" \
    >>"$figures"
}

for round in $(seq 1 "$rounds"); do
  echo "round $round of $rounds" >&2
  if [ $((round % 2)) = 1 ]; then
    measure "$round" before "$before"
    measure "$round" after "$after"
    record_pair "$round" before "$before" after "$after"
  else
    measure "$round" after "$after"
    measure "$round" before "$before"
    record_pair "$round" after "$after" before "$before"
  fi
done

echo "after:  $after"
echo "before: $before"
echo "$rounds rounds, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
printf '%-36s %8s %8s %8s %10s %10s\n' "figure" "median" "lowest" "highest" "after" "before"
awk '{ v[$1, $2, $3] = $4; f[$3] = 1; if ($1 > rounds) rounds = $1 }
  END {
    for (name in f) {
      n = 0; as = ""; bs = ""
      for (round = 1; round <= rounds; round++) {
        a = v[round, "after", name]; b = v[round, "before", name]
        if (a != "" && b + 0 > 0) { q[++n] = a / b }
        as = as (as == "" ? "" : ",") a; bs = bs (bs == "" ? "" : ",") b
      }
      if (n == 0) { printf "%-36s %8s\n", name, "n/a"; continue }
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (q[j] < q[i]) { t = q[i]; q[i] = q[j]; q[j] = t }
      med = (n % 2) ? q[(n + 1) / 2] : (q[n / 2] + q[n / 2 + 1]) / 2
      printf "%-36s %8.3f %8.3f %8.3f %10s %10s\n", name, med, q[1], q[n], as, bs
    }
  }' "$figures" | sort
