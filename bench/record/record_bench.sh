#!/usr/bin/env bash
# Recording throughput: a reliable keep-all publisher (ddsperf pub, keyed
# sequence topic) at increasing rates, received by (a) quorvin-rnr record and
# (b) ddsperf sub, which only counts. For each sample size and each receiver,
# reports the highest rate received without loss, and their ratio; then runs
# the bag store's own benchmark for its ceiling.
#
#   bench/record/record_bench.sh [BUILD_DIR] [SECONDS] [BEFORE_BUILD]
#
# BUILD_DIR must hold a release build with the benchmarks (default build-rel);
# SECONDS is the length of each run (default 10). With BEFORE_BUILD (another
# release build, e.g. of the main branch) it only compares the two
# recorders' throughput: a reliable publisher that sends as fast as flow
# control lets it, recorded by each build in turn, ROUNDS rounds (default
# 3), median rows per second of the span recorded and their ratio. Domains 180..199 only
# (DOMAIN_BASE and DOMAINS move and narrow the range, so that two runs at once
# stay apart: their publishers on one domain would mix their sequences); all
# traffic on loopback.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build-rel}" && pwd)"
secs="${2:-10}"
before_build="${3:-}"
rounds="${ROUNDS:-3}"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

tool="$build/src/app/quorvin-rnr"
stats="$build/bench/record/record_bench_bag_stats"
for f in "$tool" "$stats"; do
  [ -x "$f" ] || { echo "missing $f (build the quorvin-rnr and record_bench_bag_stats targets)" >&2; exit 2; }
done
command -v ddsperf >/dev/null || { echo "ddsperf not found (cyclonedds-tools)" >&2; exit 2; }

work="$(mktemp -d /tmp/rnr-record-bench-XXXXXX)"
children=()
cleanup() {
  for p in "${children[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

run=0
domain_base="${DOMAIN_BASE:-180}"
domains="${DOMAINS:-20}"
next_domain() { echo $((domain_base + run % domains)); run=$((run + 1)); }

# A rate passes when nothing is missing and at least 95 % of it arrived.
enough() { # received expected
  awk -v r="$1" -v e="$2" 'BEGIN { exit !(r >= 0.95 * e) }'
}

# quorvin-rnr record: rows, gaps (missing sequence numbers) and the span of
# reception times; the rate is judged over the span it recorded.
try_recorder() { # rate size
  local rate="$1" size="$2" domain dir pid line rows gaps span
  domain="$(next_domain)"
  dir="$work/rec-$run"
  mkdir -p "$dir"
  (cd "$dir" && exec "$tool" record -d "$domain" -l warn KeyedSeq DDSPerfRDataKS >"$dir/out" 2>&1) &
  pid=$!
  children+=("$pid")
  sleep 1
  ddsperf -i "$domain" -k all -D "$secs" pub "$rate" size "$size" >"$dir/pub" 2>&1 || true
  sleep 1
  kill -INT "$pid"
  wait "$pid" || true
  line="$("$stats" "$dir"/dovuve_*.sqlite3 2>/dev/null || echo "rows=0 gaps=0 bad=0 span_ns=0")"
  rows="$(sed -E 's/.*rows=([0-9]+).*/\1/' <<<"$line")"
  gaps="$(sed -E 's/.*gaps=([0-9]+).*/\1/' <<<"$line")"
  span="$(sed -E 's/.*span_ns=(-?[0-9]+).*/\1/' <<<"$line")"
  local expected
  expected="$(awk -v r="$rate" -v s="$span" 'BEGIN { printf "%d", r * s / 1e9 }')"
  printf '    record  %6s Hz: rows %8s gaps %s span %.2f s -> %s\n' "$rate" "$rows" "$gaps" \
    "$(awk -v s="$span" 'BEGIN { print s / 1e9 }')" \
    "$( [ "$gaps" = 0 ] && [ "$rows" -gt 0 ] && enough "$rows" "$expected" && echo ok || echo LOSS)"
  rm -rf "$dir"
  [ "$gaps" = 0 ] && [ "$rows" -gt 0 ] && enough "$rows" "$expected"
}

# ddsperf sub: its own count of received and lost samples.
try_sub() { # rate size
  local rate="$1" size="$2" domain out pid total lost
  domain="$(next_domain)"
  out="$work/sub-$run"
  ddsperf -i "$domain" -D $((secs + 3)) sub >"$out" 2>&1 &
  pid=$!
  children+=("$pid")
  sleep 1
  ddsperf -i "$domain" -k all -D "$secs" pub "$rate" size "$size" >/dev/null 2>&1 || true
  wait "$pid" || true
  total="$(grep -E 'size [0-9]+ total' "$out" | tail -1 | sed -E 's/.* total ([0-9]+) lost ([0-9]+).*/\1/')"
  lost="$(grep -E 'size [0-9]+ total' "$out" | tail -1 | sed -E 's/.* total ([0-9]+) lost ([0-9]+).*/\2/')"
  total="${total:-0}"
  lost="${lost:-0}"
  printf '    sub     %6s Hz: total %8s lost %s -> %s\n' "$rate" "$total" "$lost" \
    "$( [ "$lost" = 0 ] && enough "$total" $((rate * secs)) && echo ok || echo LOSS)"
  [ "$lost" = 0 ] && enough "$total" $((rate * secs))
}

# Highest passing rate of an ascending list; stops at the first failure.
highest() { # function size rates...
  local fn="$1" size="$2" best=0
  shift 2
  for r in "$@"; do
    if "$fn" "$r" "$size"; then best="$r"; else break; fi
  done
  echo "$best" >"$work/best"
}

# Rows per second that `record` of build $1 stores from a publisher that
# sends as fast as it is let, samples of $2 bytes; also checks for gaps.
try_saturated() { # tool size
  local tool="$1" size="$2" domain dir pid line rows gaps span
  domain="$(next_domain)"
  dir="$work/sat-$run"
  mkdir -p "$dir"
  (cd "$dir" && exec "$tool" record -d "$domain" -l warn KeyedSeq DDSPerfRDataKS >"$dir/out" 2>&1) &
  pid=$!
  children+=("$pid")
  sleep 1
  ddsperf -i "$domain" -k all -D "$secs" pub size "$size" >"$dir/pub" 2>&1 || true
  kill -INT "$pid"
  wait "$pid" || true
  line="$("$stats" "$dir"/dovuve_*.sqlite3 2>/dev/null || echo "rows=0 gaps=0 bad=0 span_ns=0")"
  rows="$(sed -E 's/.*rows=([0-9]+).*/\1/' <<<"$line")"
  gaps="$(sed -E 's/.*gaps=([0-9]+).*/\1/' <<<"$line")"
  span="$(sed -E 's/.*span_ns=(-?[0-9]+).*/\1/' <<<"$line")"
  rm -rf "$dir"
  awk -v r="$rows" -v s="$span" -v g="$gaps" 'BEGIN { printf "%d %d\n", (s > 0 ? r * 1e9 / s : 0), g }'
}

# Rows per second that quorvin-rnr-bag record with options $3... stores
# from a saturated publisher, samples of $1 bytes, across all the bags of
# the run; also checks for gaps and that no sample is stored twice.
try_bag_record() { # size label options...
  local size="$1" label="$2" domain dir pid line rows gaps span
  shift 2
  domain="$(next_domain)"
  dir="$work/bag-$run"
  mkdir -p "$dir"
  "$bag_record" -d "$domain" -l warn -o "$dir/rec" "$@" KeyedSeq DDSPerfRDataKS >"$dir/out" 2>&1 &
  pid=$!
  children+=("$pid")
  sleep 1
  ddsperf -i "$domain" -k all -D "$secs" pub size "$size" >"$dir/pub" 2>&1 || true
  kill -INT "$pid"
  wait "$pid" || true
  local bags
  bags="$(ls "$dir"/rec*.sqlite3 | sort | tr '\n' ' ')"
  # shellcheck disable=SC2086
  line="$("$stats" $bags 2>/dev/null || echo "rows=0 gaps=0 bad=0 span_ns=0")"
  rows="$(sed -E 's/.*rows=([0-9]+).*/\1/' <<<"$line")"
  gaps="$(sed -E 's/.*gaps=([0-9]+).*/\1/' <<<"$line")"
  span="$(sed -E 's/.*span_ns=(-?[0-9]+).*/\1/' <<<"$line")"
  echo "$(wc -w <<<"$bags")" >"$work/bags-$label"
  rm -rf "$dir"
  awk -v r="$rows" -v s="$span" -v g="$gaps" 'BEGIN { printf "%d %d\n", (s > 0 ? r * 1e9 / s : 0), g }'
}

if [ "${SPLIT:-0}" = 1 ]; then
  bag_record="$build/src/bagtool/quorvin-rnr-bag-record"
  [ -x "$bag_record" ] || { echo "missing $bag_record (build quorvin-rnr-bag-record)" >&2; exit 2; }
  echo "quorvin-rnr-bag record throughput with and without splitting, ${secs} s per run"
  labels=(plain duration size)
  # SPLIT_SIZE: the --split-size of the size variant (default 4M, several
  # splits a second at 100 B; a long run's bags are far bigger).
  split_size="${SPLIT_SIZE:-4M}"
  for size in 100 4096; do
    declare -A got=()
    for round in $(seq 1 "$rounds"); do
      # Rotating which variant goes first spreads the machine's drift.
      for k in 0 1 2; do
        label="${labels[$(((k + round) % 3))]}"
        case "$label" in
          plain) read -r r g < <(try_bag_record "$size" plain) ;;
          duration) read -r r g < <(try_bag_record "$size" duration --split-duration 1) ;;
          size) read -r r g < <(try_bag_record "$size" size --split-size "$split_size") ;;
        esac
        echo "  size $size round $round: $label $r rows/s (gaps $g, bags $(cat "$work/bags-$label"))"
        got[$label]="${got[$label]:-} $r"
      done
    done
    for label in "${labels[@]}"; do
      # shellcheck disable=SC2086
      med="$(printf '%s\n' ${got[$label]} | sort -n | sed -n "$(((rounds + 1) / 2))p")"
      declare "med_$label=$med"
    done
    printf '  size %s median rows/s: plain %s, --split-duration 1 %s (%s), --split-size %s %s (%s)\n' \
      "$size" "$med_plain" "$med_duration" \
      "$(awk -v a="$med_duration" -v b="$med_plain" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }')" \
      "$split_size" "$med_size" \
      "$(awk -v a="$med_size" -v b="$med_plain" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }')"
    echo "RESULT record_split $size $med_plain $med_duration $med_size"
  done
  exit 0
fi

if [ -n "$before_build" ]; then
  before_tool="$(cd "$before_build" && pwd)/src/app/quorvin-rnr"
  [ -x "$before_tool" ] || { echo "missing $before_tool" >&2; exit 2; }
  echo "recorder throughput, ${secs} s per run: after = $tool, before = $before_tool"
  for size in 100 4096; do
    after_rates=()
    before_rates=()
    for round in $(seq 1 "$rounds"); do
      # Alternating which build goes first spreads the machine's drift.
      if [ $((round % 2)) = 1 ]; then
        read -r a ag < <(try_saturated "$tool" "$size")
        read -r b bg < <(try_saturated "$before_tool" "$size")
      else
        read -r b bg < <(try_saturated "$before_tool" "$size")
        read -r a ag < <(try_saturated "$tool" "$size")
      fi
      echo "  size $size round $round: after $a rows/s (gaps $ag), before $b rows/s (gaps $bg)"
      after_rates+=("$a")
      before_rates+=("$b")
    done
    a="$(printf '%s\n' "${after_rates[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")"
    b="$(printf '%s\n' "${before_rates[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")"
    echo "  size $size median: after $a rows/s, before $b rows/s, after/before $(awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }')"
    echo "RESULT record_vs_before $size $a $b"
  done
  exit 0
fi

bag_bench="$build/bench/bag/bag_insert_bench"
[ -x "$bag_bench" ] || { echo "missing $bag_bench (build the bag_insert_bench target)" >&2; exit 2; }

echo "recording benchmark: ${secs} s per run, reliable keep-all ddsperf publisher"
echo "== bag store ceiling (before)"
"$bag_bench" 51200 3 "$work" | tee "$work/bag-before"
summary=()
for size in 100 4096 1048576; do
  if [ "$size" = 100 ]; then
    rates=(10000 20000 40000 60000 80000 100000 120000 150000 200000)
  elif [ "$size" = 4096 ]; then
    rates=(5000 10000 20000 30000 40000 50000 60000 70000 80000)
  else
    # 1 MB samples: the rate is about the MB/s.
    rates=(50 100 200 300 400 500 600 700 800)
  fi
  echo "== sample size $size bytes"
  highest try_recorder "$size" "${rates[@]}"
  rec_best="$(cat "$work/best")"
  highest try_sub "$size" "${rates[@]}"
  sub_best="$(cat "$work/best")"
  ratio="$(awk -v a="$rec_best" -v b="$sub_best" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
  declare "rec_best_$size=$rec_best"
  declare "sub_best_$size=$sub_best"
  summary+=("size $size: record $rec_best Hz, ddsperf sub $sub_best Hz, record/sub $ratio")
done

# The bag store's own ceiling, before and after the ladders (the disk is
# shared, so it moves): its insertion benchmark, rows per second of the
# 256-row bulk insert, on the same temporary directory.
for when in after; do
  echo "== bag store ceiling ($when)"
  "$bag_bench" 51200 3 "$work" | tee "$work/bag-$when"
done
for size in 100 4096 1048576; do
  best_var="rec_best_$size"
  for when in before after; do
    ceiling="$(awk -v s="$size" '$1 == s { print $2 }' "$work/bag-$when")"
    summary+=("size $size: bag ceiling ($when) ${ceiling:-?} rows/s, record/ceiling $(awk -v a="${!best_var}" -v c="${ceiling:-0}" 'BEGIN { if (c > 0) printf "%.2f", a / c; else print "n/a" }')")
  done
done

echo "== summary (highest rate without loss over ${secs} s)"
printf '  %s\n' "${summary[@]}"
# One machine-readable line per size for bench/run_all.sh: size, highest
# lossless rates of the recorder and of ddsperf sub, store ceilings before
# and after.
for size in 100 4096 1048576; do
  best_var="rec_best_$size"
  sub_var="sub_best_$size"
  echo "RESULT record $size ${!best_var} ${!sub_var} $(awk -v s="$size" '$1 == s { print $2 }' "$work/bag-before") $(awk -v s="$size" '$1 == s { print $2 }' "$work/bag-after")"
done
