#!/usr/bin/env bash
# What never arrived, reported against what the bag shows: quorvin-rnr record
# of a ddsperf publisher in three cases, each giving the recorder's "Lost"
# figure, the gaps in the stored samples' sequence numbers (the payload's
# first field, record_bench_bag_stats) and the exit status.
#
#   stall  reliable 20 kHz, 100 bytes; the recorder stopped (SIGSTOP) for
#          STALL_S (default 15) s, past its participant's lease
#   fast   best effort 200 kHz, 100 bytes
#   large  best effort 10 Hz, 4 MB
#
#   bench/record/gap_check.sh [BUILD_DIR] [stall|fast|large ...]
#
# BUILD_DIR holds a release build with quorvin-rnr and record_bench_bag_stats
# (default build/release). Domain 77 only; all traffic on loopback.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
shift || true
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(stall fast large)
stall_s="${STALL_S:-15}"
domain=77
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
tool="$build/src/app/quorvin-rnr"
stats="$build/bench/record/record_bench_bag_stats"
for f in "$tool" "$stats"; do
  [ -x "$f" ] || { echo "missing $f" >&2; exit 2; }
done
command -v ddsperf >/dev/null || { echo "ddsperf not found" >&2; exit 2; }
work="$(mktemp -d "${TMPDIR:-/tmp}/rnr-gap-check-XXXXXX")"
trap 'rm -rf "$work"' EXIT

run_case() {
  local name=$1 topic=$2 rate=$3 size=$4 stall=$5 mode=$6
  local dir="$work/$name"
  mkdir -p "$dir"
  (
    cd "$dir"
    "$tool" record -d "$domain" KeyedSeq "$topic" >rec.log 2>&1 </dev/null &
    rp=$!
    sleep 2
    ddsperf $mode -i "$domain" -D 60 pub "$rate" size "$size" >perf.log 2>&1 </dev/null &
    pp=$!
    sleep 6
    if [ "$stall" -gt 0 ]; then
      kill -STOP "$rp"
      sleep "$stall"
      kill -CONT "$rp"
    fi
    sleep 8
    kill "$pp"
    wait "$pp" 2>/dev/null
    sleep 1
    kill -INT "$rp"
    wait "$rp"
    echo $? >status
  )
  local reported gaps
  reported=$(sed -n 's/.*Recorder Lost \([0-9]*\) samples.*/\1/p' "$dir/rec.log")
  gaps=$("$stats" "$dir"/*.sqlite3)
  printf '%-6s reported_lost=%s %s exit=%s\n' "$name" "${reported:-0}" "$gaps" "$(cat "$dir/status")"
  grep -E "dropped the recorder's reader|rejected by the full reader" "$dir/rec.log" | tail -2 |
    sed 's/^.*DOVUvE: /       /'
}

for c in "${cases[@]}"; do
  case "$c" in
    stall) run_case stall DDSPerfRDataKS 20000Hz 100 "$stall_s" "" ;;
    fast) run_case fast DDSPerfUDataKS 200000Hz 100 0 -u ;;
    large) run_case large DDSPerfUDataKS 10Hz 4000000 0 -u ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done
