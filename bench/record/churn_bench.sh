#!/usr/bin/env bash
# Writer churn: quorvin-rnr record '*' 'churn/*' while WRITERS short-lived
# writers (default 10000) come and go on TOPICS topics (default 50),
# CONCURRENT (default 20) alive at a time, each writing SAMPLES (default 3)
# samples. The recorder's resident memory is read every 500 writers; the
# table gives it after the warm-up (the first WARMUP writers, default 1000)
# and at the end, the growth between them in total and per 1000 writers, and
# the rows and writers the bag holds against those written.
#
#   bench/record/churn_bench.sh [BUILD_DIR]
#
# BUILD_DIR holds a release build with the quorvin-rnr and churn_peer
# targets (default build/release). TOOL names another quorvin-rnr to measure
# (an older build, run beside this one on DOMAIN 79 for a side-by-side
# figure). Domain 78 by default; all traffic on loopback.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
writers="${WRITERS:-10000}"
topics="${TOPICS:-50}"
concurrent="${CONCURRENT:-20}"
samples="${SAMPLES:-3}"
warmup="${WARMUP:-1000}"
domain="${DOMAIN:-78}"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
tool="${TOOL:-$build/src/app/quorvin-rnr}"
peer="$build/bench/record/churn_peer"
for f in "$tool" "$peer"; do
  [ -x "$f" ] || { echo "missing $f (build quorvin-rnr and churn_peer)" >&2; exit 2; }
done
command -v sqlite3 >/dev/null || { echo "sqlite3 not found" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/rnr-churn-bench-XXXXXX")"
rec_pid=""
cleanup() {
  [ -n "$rec_pid" ] && kill "$rec_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

cd "$work"
"$tool" record -d "$domain" '*' 'churn/*' >record.log 2>&1 </dev/null &
rec_pid=$!
sleep 2
start=$(date +%s)
warm_rss=""
: >rss.txt
while read -r word n; do
  [ "$word" = DONE ] || continue
  r=$(rss_kb "$rec_pid")
  echo "$n $r" >>rss.txt
  if [ -z "$warm_rss" ] && [ "$n" -ge "$warmup" ]; then warm_rss=$r; fi
done < <("$peer" "$domain" "$writers" "$topics" "$concurrent" "$samples")
sleep 3  # the last writers' state is released a while after they left
end_rss=$(rss_kb "$rec_pid")
peak_rss=$(awk '/^VmHWM:/ { print $2 }' "/proc/$rec_pid/status")
elapsed=$(( $(date +%s) - start ))
kill -INT "$rec_pid"
wait "$rec_pid" || true
rec_pid=""
bag=$(ls ./*.sqlite3)
rows=$(sqlite3 "$bag" "select count(*) from data")
bag_writers=$(sqlite3 "$bag" "select count(*) from writers")

echo "RSS of the recorder every 500 writers (writers KB):"
tr '\n' ' ' <rss.txt
echo
printf '%-34s %12s\n' "writers that came and went" "$writers"
printf '%-34s %12s\n' "seconds" "$elapsed"
printf '%-34s %12s\n' "RSS after warm-up (KB)" "$warm_rss"
printf '%-34s %12s\n' "RSS at the end (KB)" "$end_rss"
printf '%-34s %12s\n' "peak RSS (KB)" "$peak_rss"
printf '%-34s %12s\n' "growth after warm-up (KB)" "$((end_rss - warm_rss))"
printf '%-34s %12s\n' "growth per 1000 writers (KB)" \
  "$(( (end_rss - warm_rss) * 1000 / (writers - warmup) ))"
printf '%-34s %12s\n' "rows stored / written" "$rows / $((writers * samples))"
printf '%-34s %12s\n' "writers in the bag" "$bag_writers"
grep -E "never arrived|Lost" record.log || true
