#!/usr/bin/env bash
# Runs every benchmark in one go and prints one table of ratios, so that the
# figures compared were all taken in the same run on the same machine.
#
#   bench/run_all.sh [BUILD_DIR] [RSS_SECONDS] [RECORD_SECONDS] [REPLAY_SECONDS]
#
# BUILD_DIR: a release build with the benchmarks (default build/bench; made
#   with cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release
#   -DRNR_BUILD_TESTS=OFF, then cmake --build build/bench).
# RSS_SECONDS: length of the 10 kHz recording whose memory is watched
#   (default 600, ten minutes; pass e.g. 60 for a quick run).
# RECORD_SECONDS: length of each run of the recording ladders (default 10).
# REPLAY_SECONDS: length of each pacing run of the replay benchmark (default 5).
#
# All DDS traffic stays on loopback; domains 180..220 only.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build/bench}" && pwd)"
rss_secs="${2:-600}"
record_secs="${3:-10}"
replay_secs="${4:-5}"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

tool="$build/src/app/quorvin-rnr"
for f in "$tool" "$build/bench/bag/bag_insert_bench" "$build/bench/replay/replay_bench" \
  "$build/bench/record/record_bench_bag_stats" "$build/bench/bagtool/bagtool_export_bench"; do
  [ -x "$f" ] || { echo "missing $f (build the benchmarks in $build)" >&2; exit 2; }
done
command -v ddsperf >/dev/null || { echo "ddsperf not found (cyclonedds-tools)" >&2; exit 2; }

work="$(mktemp -d /tmp/rnr-run-all-XXXXXX)"
rec_pid=""
cleanup() {
  [ -n "$rec_pid" ] && kill "$rec_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The exports first: for minutes after gigabytes were written (the store's
# big rows, the recordings; dd of 3 GB does it too) the mcap export, which
# writes an output file where the bare read writes nothing, ran at 0.55 of
# the bare read instead of about 0.8.
echo "### bag tool: mcap and json export against a bare SQLite read of the same rows"
"$build/bench/bagtool/bagtool_export_bench" 1000000 3 "$work" | tee "$work/export"

echo "### bag store against a bare SQLite loop"
"$build/bench/bag/bag_insert_bench" 51200 3 "$work" | tee "$work/bag"

echo "### recording: quorvin-rnr record against ddsperf sub and the store's ceiling"
bash "$root/bench/record/record_bench.sh" "$build" "$record_secs" | tee "$work/record"

echo "### replay: pacing against two reference pacers; zero-gap rate against ddsperf pub"
"$build/bench/replay/replay_bench" "$replay_secs" | tee "$work/replay"

echo "### memory of a ${rss_secs} s recording of a reliable 10 kHz publisher (100-byte samples)"
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
mkdir -p "$work/rss"
(cd "$work/rss" && exec "$tool" record -d 219 -l warn KeyedSeq DDSPerfRDataKS >"$work/rss/out" 2>&1) &
rec_pid=$!
sleep 1
ddsperf -i 219 -k all -D "$rss_secs" pub 10000Hz size 100 >"$work/rss/pub" 2>&1 &
pub_pid=$!
sleep 10
rss_start="$(rss_kb "$rec_pid")"
rss_max="$rss_start"
while kill -0 "$pub_pid" 2>/dev/null; do
  sleep 5
  now="$(rss_kb "$rec_pid")"
  [ "${now:-0}" -gt "$rss_max" ] && rss_max="$now"
  [ "${now:-0}" -gt 0 ] && rss_end="$now"
done
rss_end="${rss_end:-$rss_start}"
kill -INT "$rec_pid"
wait "$rec_pid" || true
rec_pid=""
rss_rows="$("$build/bench/record/record_bench_bag_stats" "$work"/rss/dovuve_*.sqlite3 2>/dev/null || echo "?")"
echo "RSS after 10 s ${rss_start} kB, at the end ${rss_end} kB, highest ${rss_max} kB; bag: $rss_rows"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'; }
pacing() { # label rate -> "p50 p99"
  awk -v l="$1" -v r="$2" '$1 == "RESULT" && $2 == "pacing" && $3 == l && $4 == r { print $6, $8 }' \
    "$work/replay"
}

echo
echo "================ summary (one run; $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores) ================"
printf '%-58s %12s %12s %8s\n' "what" "ours" "reference" "ratio"
while read -r size store bare _ _ bare_mb dd_mb; do
  printf '%-58s %12s %12s %8s\n' "bag store rows/s, ${size} B, vs bare SQLite" "$store" "$bare" \
    "$(ratio "$store" "$bare")"
  if [ -n "${dd_mb:-}" ] && [ "$size" -ge 65536 ]; then
    printf '%-58s %12s %12s %8s\n' "bare SQLite MB/s, ${size} B, vs dd conv=fdatasync" "$bare_mb" \
      "$dd_mb" "$(ratio "$bare_mb" "$dd_mb")"
  fi
done < <(awk '$1 ~ /^[0-9]+$/ && $2 ~ /^[0-9]+$/ && NF >= 4' "$work/bag")
while read -r _ _ size rec sub before after; do
  ceiling="$(awk -v a="$before" -v b="$after" 'BEGIN { print (a < b ? a : b) }')"
  printf '%-58s %12s %12s %8s\n' "recorder lossless Hz, ${size} B, vs store ceiling (lower)" \
    "$rec" "$ceiling" "$(ratio "$rec" "$ceiling")"
  printf '%-58s %12s %12s %8s\n' "recorder lossless Hz, ${size} B, vs ddsperf sub" "$rec" "$sub" \
    "$(ratio "$rec" "$sub")"
done < <(grep '^RESULT record' "$work/record")
read -r _ _ _ replay_rate _ ddsperf_rate < <(grep '^RESULT speed' "$work/replay")
printf '%-58s %12s %12s %8s\n' "zero-gap replay samples/s vs ddsperf pub" "$replay_rate" \
  "$ddsperf_rate" "$(ratio "$replay_rate" "$ddsperf_rate")"
# Medians over the rounds; the ratio is the median of each round's own ratio.
read -r _ _ bare_rows mcap_rows json_rows mcap_ratio json_ratio zstd_none < <(grep '^RESULT export' "$work/export")
printf '%-58s %12s %12s %8s\n' "mcap export samples/s vs bare SQLite read" "$mcap_rows" \
  "$bare_rows" "$mcap_ratio"
printf '%-58s %12s %12s %8s\n' "json export samples/s vs bare SQLite read" "$json_rows" \
  "$bare_rows" "$json_ratio"
printf '%-58s %12s %12s %8s\n' "mcap export time, zstd vs --compression none" "" "" \
  "${zstd_none:-n/a}"
for rate in 1000 10000; do
  read -r ours50 ours99 < <(pacing replay "$rate")
  for ref in ref-sleep ref-spin; do
    read -r ref50 ref99 < <(pacing "$ref" "$rate")
    printf '%-58s %12s %12s %8s\n' "pacing ${rate} Hz p50 gap error us, vs $ref" "$ours50" "$ref50" \
      "$(ratio "$ours50" "$ref50")"
    printf '%-58s %12s %12s %8s\n' "pacing ${rate} Hz p99 gap error us, vs $ref" "$ours99" "$ref99" \
      "$(ratio "$ours99" "$ref99")"
  done
done
# play at a rate: the replayer with --rate over 1 ms gaps, against the
# spinning reference pacer on the same scaled schedule.
for play in "0.5 500" "1 1000" "4 4000"; do
  read -r factor hz <<<"$play"
  read -r ours50 ours99 < <(pacing "play-x$factor" "$hz")
  read -r ref50 ref99 < <(pacing "ref-spin-x$factor" "$hz")
  printf '%-58s %12s %12s %8s\n' "play x$factor p50 gap error us, vs ref-spin" "$ours50" "$ref50" \
    "$(ratio "$ours50" "$ref50")"
  printf '%-58s %12s %12s %8s\n' "play x$factor p99 gap error us, vs ref-spin" "$ours99" "$ref99" \
    "$(ratio "$ours99" "$ref99")"
done
printf '%-58s %12s %12s %8s\n' "recorder RSS kB at the end vs after 10 s (${rss_secs} s, 10 kHz)" \
  "$rss_end" "$rss_start" "$(ratio "$rss_end" "$rss_start")"
