#!/usr/bin/env bash
# The heavy loss checks of a recording, each against a reliable ddsperf
# publisher on loopback; prints one line per run and a summary, exit status 1
# when any run lost a sample. Checks, not timings:
#
#   readers  20 kHz x 1000 B: `quorvin-rnr-bag info`, `json` and `mcap` of the
#            growing bag three times, an 8 s read transaction, then SIGINT
#            while a reader holds the bag: every sequence number stored, exit
#            0, no reader fails with "database is locked" (5 runs).
#   kill     SIGKILL at a random moment (3..8 s) into a 10 Hz and a 20 kHz
#            recording: every sample that arrived more than 1 s before the
#            kill is in the bag, integrity_check ok, `quorvin-rnr-bag info`
#            reads it and it replays (10 runs each).
#   signals  `record -l verbose | head -3` then SIGINT, SIGHUP, and
#            `timeout -s INT 3 quorvin-rnr record` (28 tries): exit 0 and every
#            received sample saved.
#
#   bench/record/loss_check.sh [BUILD_DIR] [readers|kill|signals|all]
#
# BUILD_DIR holds a release build with record_bench_bag_stats (default
# build/release). Domains 210..214 only.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
which="${2:-all}"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

tool="$build/src/app/quorvin-rnr"
bagtool="$build/src/bagtool/quorvin-rnr-bag"
stats="$build/bench/record/record_bench_bag_stats"
for f in "$tool" "$bagtool" "$stats"; do
  [ -x "$f" ] || { echo "missing $f" >&2; exit 2; }
done
for p in ddsperf sqlite3; do
  command -v "$p" >/dev/null || { echo "$p not found" >&2; exit 2; }
done

work="$(mktemp -d /tmp/rnr-loss-check-XXXXXX)"
pids=()
cleanup() {
  for p in "${pids[@]:-}"; do [ -n "$p" ] && kill -9 "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
runs=0

# Prints PASS/FAIL with the run's figures and counts failures.
verdict() { # ok name details
  runs=$((runs + 1))
  if [ "$1" = 1 ]; then echo "  PASS $2: $3"; else echo "  FAIL $2: $3"; failures=$((failures + 1)); fi
}

# field NAME LINE: the value of NAME=... in a record_bench_bag_stats line.
field() { sed -E "s/.*$1=(-?[0-9]+).*/\\1/" <<<"$2"; }

# Starts `record` in directory $1 on domain $2 with level $3; sets rec_pid.
start_recorder() {
  (cd "$1" && exec "$tool" record -d "$2" -l "$3" KeyedSeq DDSPerfRDataKS >"$1/log" 2>&1) &
  rec_pid=$!
  pids+=("$rec_pid")
}

# Starts a reliable publisher; sets pub_pid.
start_publisher() { # domain rate size seconds
  ddsperf -i "$1" -k all -D "$4" pub "$2" size "$3" >/dev/null 2>&1 &
  pub_pid=$!
  pids+=("$pub_pid")
}

# rows, gaps and exit status of a finished recording in $1 with status $2.
judge_saved() { # dir status name
  local line rows gaps ok=1
  line="$("$stats" "$1"/dovuve_*.sqlite3 2>/dev/null || echo "rows=0 gaps=0")"
  rows="$(field rows "$line")"
  gaps="$(field gaps "$line")"
  [ "$2" = 0 ] && [ "$gaps" = 0 ] && [ "$rows" -gt 0 ] || ok=0
  grep -q "Recorder Lost" "$1/log" && ok=0
  verdict "$ok" "$3" "exit $2, rows $rows, gaps $gaps"
}

check_readers() {
  echo "== readers of the growing bag, 20 kHz x 1000 B"
  for i in 1 2 3 4 5; do
    local dir="$work/readers-$i" domain=210 bag status locked
    mkdir -p "$dir"
    start_recorder "$dir" "$domain" info
    sleep 1
    start_publisher "$domain" 20000 1000 30
    sleep 2
    bag="$(ls "$dir"/dovuve_*.sqlite3)"
    for round in 1 2 3; do
      "$bagtool" info "$bag" >/dev/null 2>>"$dir/readers.err"
      "$bagtool" json "$bag" >/dev/null 2>>"$dir/readers.err"
      "$bagtool" mcap "$bag" "$dir/out.mcap" >/dev/null 2>>"$dir/readers.err"
    done
    printf '.timeout 30000\nBEGIN;\nSELECT COUNT(*) FROM data;\n.shell sleep 8\nCOMMIT;\n' |
      sqlite3 "$bag" >/dev/null 2>>"$dir/readers.err"
    printf '.timeout 30000\nBEGIN;\nSELECT COUNT(*) FROM data;\n.shell sleep 3\nCOMMIT;\n' |
      sqlite3 "$bag" >/dev/null 2>>"$dir/readers.err" &
    local holder=$!
    sleep 0.5
    kill -INT "$rec_pid"
    wait "$rec_pid"
    status=$?
    wait "$holder"
    kill "$pub_pid" 2>/dev/null
    wait "$pub_pid" 2>/dev/null
    locked="$(grep -c "locked" "$dir/readers.err")"
    judge_saved "$dir" "$status" "readers run $i (reader errors 'locked': $locked)"
    [ "$locked" = 0 ] || { verdict 0 "readers run $i" "readers failed with database is locked"; }
    rm -rf "$dir"
  done
}

check_kill() {
  echo "== SIGKILL at a random moment"
  for rate in 10 20000; do
    for i in $(seq 1 10); do
      local dir="$work/kill-$rate-$i" domain=211 bag kill_ns last line gaps rows ok=1 replay
      mkdir -p "$dir"
      start_recorder "$dir" "$domain" warn
      sleep 1
      start_publisher "$domain" "$rate" 1000 30
      sleep "$((3 + RANDOM % 6)).$((RANDOM % 10))"
      kill_ns="$(date +%s%N)"
      kill -9 "$rec_pid"
      wait "$rec_pid" 2>/dev/null
      kill "$pub_pid" 2>/dev/null
      wait "$pub_pid" 2>/dev/null
      bag="$(ls "$dir"/dovuve_*.sqlite3)"
      # The bag tool first: it must cope with a hot journal itself.
      "$bagtool" info "$bag" >/dev/null 2>&1 || ok=0
      [ "$(sqlite3 "$bag" 'PRAGMA integrity_check')" = ok ] || ok=0
      line="$("$stats" "$bag" 2>/dev/null || echo "rows=0 gaps=0")"
      rows="$(field rows "$line")"
      gaps="$(field gaps "$line")"
      last="$(sqlite3 "$bag" 'SELECT COALESCE(MAX(timestamp), 0) FROM data')"
      # The newest sample that arrived more than 1 s before the kill came at
      # most one publishing interval before that.
      [ "$gaps" = 0 ] && [ "$rows" -gt 0 ] &&
        [ "$last" -ge $((kill_ns - 1000000000 - 1000000000 / rate)) ] || ok=0
      replay="$(cd "$dir" && timeout 60 "$tool" replay -d 212 -l info "$bag" 2>&1 | grep -c "Replay finished")"
      [ "$replay" = 1 ] || ok=0
      verdict "$ok" "kill $rate Hz run $i" \
        "rows $rows, gaps $gaps, newest row $(((kill_ns - last) / 1000000)) ms before the kill, replayed $replay"
      rm -rf "$dir"
    done
  done
}

check_signals() {
  echo "== signals"
  for i in 1 2 3; do
    local dir="$work/pipe-$i" domain=213 status
    mkdir -p "$dir"
    (cd "$dir" && "$tool" record -d "$domain" -l verbose KeyedSeq DDSPerfRDataKS 2>"$dir/log" |
      head -3 >/dev/null; echo "${PIPESTATUS[0]}" >"$dir/status") &
    local pipeline=$!
    sleep 1
    start_publisher "$domain" 2000 1000 30
    sleep 3
    rec_pid="$(pgrep -f "quorvin-rnr record -d $domain -l verbose" | head -1)"
    kill -INT "$rec_pid"
    wait "$pipeline"
    status="$(cat "$dir/status")"
    kill "$pub_pid" 2>/dev/null
    wait "$pub_pid" 2>/dev/null
    judge_saved "$dir" "$status" "verbose | head -3 run $i"
    rm -rf "$dir"
  done
  for i in 1 2 3; do
    local dir="$work/hup-$i" domain=213 status
    mkdir -p "$dir"
    start_recorder "$dir" "$domain" info
    sleep 1
    start_publisher "$domain" 20000 1000 30
    sleep 3
    kill -HUP "$rec_pid"
    wait "$rec_pid"
    status=$?
    kill "$pub_pid" 2>/dev/null
    wait "$pub_pid" 2>/dev/null
    judge_saved "$dir" "$status" "SIGHUP run $i"
    rm -rf "$dir"
  done
  for i in $(seq 1 28); do
    local dir="$work/timeout-$i" domain=214 status
    mkdir -p "$dir"
    start_publisher "$domain" 20000 1000 30
    (cd "$dir" && exec timeout --preserve-status -s INT 3 "$tool" record -d "$domain" -l info \
      KeyedSeq DDSPerfRDataKS >"$dir/log" 2>&1)
    status=$?
    kill "$pub_pid" 2>/dev/null
    wait "$pub_pid" 2>/dev/null
    judge_saved "$dir" "$status" "timeout -s INT try $i"
    rm -rf "$dir"
  done
}

case "$which" in
  readers) check_readers ;;
  kill) check_kill ;;
  signals) check_signals ;;
  all) check_readers; check_kill; check_signals ;;
  *) echo "unknown check $which" >&2; exit 2 ;;
esac
echo "== $((runs - failures)) of $runs checks passed"
[ "$failures" = 0 ]
