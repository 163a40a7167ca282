#!/usr/bin/env bash
# Recording at scale: one publisher process with N topics (reliable,
# keep-all, SAMPLES samples each, every writer writing as soon as it matched a
# reader), received in turn by (a) a bare Cyclone DDS subscriber that knows
# the topics (one reader each) and (b) quorvin-rnr record '*' '*'. For each N:
# peak threads, peak RSS, the time from the first writer's announcement to
# the last topic's first received sample (for the recorder: its reception
# time as stored, and "stored_s", when a reader of the growing bag first saw
# a committed sample of every topic), and the samples received or rows
# stored; then the recorder's figures over the bare subscriber's.
#
#   bench/scale/scale_bench.sh [BUILD_DIR] [N ...]
#
# BUILD_DIR must hold a release build with the benchmarks (default
# build/release); N defaults to 100 1000 10000. SAMPLES (default 5) and
# TIMEOUT_S (default 600, per side and N) come from the environment.
# Domains 200..219 only; all traffic on loopback.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(100 1000 10000)
samples="${SAMPLES:-5}"
export TIMEOUT_S="${TIMEOUT_S:-600}"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

tool="$build/src/app/quorvin-rnr"
peer="$build/bench/scale/scale_peer"
for f in "$tool" "$peer"; do
  [ -x "$f" ] || { echo "missing $f (build the quorvin-rnr and scale_peer targets)" >&2; exit 2; }
done
command -v sqlite3 >/dev/null || { echo "sqlite3 not found" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/rnr-scale-bench-XXXXXX")"
children=()
cleanup() {
  for p in "${children[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

field() { awk -v k="$1" '$1 == k { print $2 }' "$2" | tail -1; }
status_kb() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$2/status" 2>/dev/null || true; }

# Polls a process until it ends or $3 exists: peak threads and peak RSS
# into $2 ("THREADS n" and "HWM_KB n").
monitor() { # pid out stop_file
  local pid="$1" out="$2" stop="$3" t max_t=0 hwm=0
  while kill -0 "$pid" 2>/dev/null && [ ! -e "$stop" ]; do
    t="$(status_kb Threads "$pid")"
    [ -n "$t" ] && [ "$t" -gt "$max_t" ] && max_t="$t"
    hwm="$(status_kb VmHWM "$pid")"
    printf 'THREADS %s\nHWM_KB %s\n' "$max_t" "${hwm:-0}" >"$out.tmp" && mv "$out.tmp" "$out"
    sleep 0.2
  done
}

# Polls the growing bag in $1 until every one of $2 topics has a committed
# sample, or $3 exists; the wall time in ns into $4.
poll_stored() { # dir topics stop_file out
  local dir="$1" n="$2" stop="$3" out="$4" bag seen
  while [ ! -e "$stop" ]; do
    bag="$(ls "$dir"/dovuve_*.sqlite3 2>/dev/null | head -1 || true)"
    if [ -n "$bag" ]; then
      seen="$(sqlite3 "$bag" 'SELECT COUNT(DISTINCT topic_id) FROM data' 2>/dev/null || echo 0)"
      if [ "${seen:-0}" -ge "$n" ]; then
        date +%s%N >"$out"
        return
      fi
    fi
    sleep 0.1
  done
}

printf '%-7s %-10s %8s %10s %10s %10s %10s\n' topics receiver threads peak_MiB first_s stored_s samples
i=0
for n in "${counts[@]}"; do
  expected=$((n * samples))
  # (a) the bare subscriber.
  domain=$((200 + 2 * i))
  dir="$work/bare-$n"; mkdir -p "$dir"
  "$peer" sub "$domain" "$n" "$samples" >"$dir/sub" 2>&1 &
  sub=$!; children+=("$sub")
  until grep -q READY "$dir/sub" 2>/dev/null || ! kill -0 "$sub" 2>/dev/null; do sleep 0.1; done
  "$peer" pub "$domain" "$n" "$samples" >"$dir/pub" 2>&1 || echo "bare: publisher failed: $(tail -1 "$dir/pub")" >&2
  wait "$sub" || echo "bare: subscriber missed samples" >&2
  b_start="$(field START "$dir/pub")"
  b_first="$(field LAST_FIRST_NS "$dir/sub")"
  b_threads="$(field THREADS "$dir/sub")"
  b_hwm="$(field HWM_KB "$dir/sub")"
  b_samples="$(field SAMPLES "$dir/sub")"
  b_secs="$(awk -v a="$b_first" -v s="$b_start" 'BEGIN { printf "%.2f", (a - s) / 1e9 }')"
  printf '%-7s %-10s %8s %10.1f %10s %10s %10s\n' "$n" bare "$b_threads" "$(awk -v k="$b_hwm" 'BEGIN { print k / 1024 }')" "$b_secs" - "$b_samples/$expected"

  # (b) the recorder, '*' '*'.
  domain=$((201 + 2 * i))
  dir="$work/rec-$n"; mkdir -p "$dir"
  (cd "$dir" && exec "$tool" record -d "$domain" -l warn '*' '*' >"$dir/out" 2>&1) &
  rec=$!; children+=("$rec")
  monitor "$rec" "$dir/mon" "$dir/stop" &
  mon=$!
  poll_stored "$dir" "$n" "$dir/stop" "$dir/stored" &
  poll=$!
  sleep 1
  "$peer" pub "$domain" "$n" "$samples" >"$dir/pub" 2>&1 || echo "recorder: publisher failed: $(tail -1 "$dir/pub")" >&2
  # The last samples reach the store (committed within about 1 s).
  for _ in $(seq 50); do [ -s "$dir/stored" ] && break; sleep 0.1; done
  sleep 0.5
  touch "$dir/stop"; wait "$mon" "$poll" || true
  kill -INT "$rec"; wait "$rec" || echo "recorder: exit status $?" >&2
  bag="$(ls "$dir"/dovuve_*.sqlite3 | head -1)"
  r_rows="$(sqlite3 "$bag" 'SELECT COUNT(*) FROM data')"
  r_topics="$(sqlite3 "$bag" 'SELECT COUNT(*) FROM topics')"
  r_first="$(sqlite3 "$bag" 'SELECT MAX(f) FROM (SELECT MIN(timestamp) AS f FROM data GROUP BY topic_id)')"
  r_start="$(field START "$dir/pub")"
  r_threads="$(field THREADS "$dir/mon")"
  r_hwm="$(field HWM_KB "$dir/mon")"
  r_secs="$(awk -v a="$r_first" -v s="$r_start" 'BEGIN { printf "%.2f", (a - s) / 1e9 }')"
  r_stored="$(cat "$dir/stored" 2>/dev/null || true)"
  r_stored_secs="$(awk -v a="$r_stored" -v s="$r_start" 'BEGIN { if (a == "") print "-"; else printf "%.2f", (a - s) / 1e9 }')"
  printf '%-7s %-10s %8s %10.1f %10s %10s %10s\n' "$n" recorder "$r_threads" "$(awk -v k="$r_hwm" 'BEGIN { print k / 1024 }')" "$r_secs" "$r_stored_secs" "$r_rows/$expected"
  awk -v n="$n" -v rt="$r_threads" -v bt="$b_threads" -v rh="$r_hwm" -v bh="$b_hwm" \
      -v rs="$r_secs" -v bs="$b_secs" -v ss="$r_stored_secs" -v tp="$r_topics" \
      'BEGIN { printf "%-7s %-10s %8.2f %10.2f %10.2f %10s %10s\n", n, "ratio", rt / bt, rh / bh, (bs > 0 ? rs / bs : 0), (ss != "-" && bs > 0 ? sprintf("%.2f", ss / bs) : "-"), tp " topics" }'
  grep -v '^$' "$dir/out" | head -5 || true
  i=$((i + 1))
done
