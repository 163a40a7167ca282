#!/usr/bin/env bash
# Sets up and builds if needed, then shows the tool at work on this machine's
# loopback: a typed talker publishes on a keyed and a keyless topic while
# `quorvin-rnr record` captures them into a bag; the bag is then replayed to a
# typed listener, which reports every sample it decodes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

# Every DDS participant started from here stays on loopback.
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

build=build/release
echo "== building quorvin-rnr, quorvin-rnr-bag and the test peers (only what is missing)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorvin-rnr quorvin-rnr-bag \
  rnr_test_talker rnr_test_listener >/dev/null

exe="$root/$build/src/app/quorvin-rnr"
bagtool="$root/$build/src/bagtool/quorvin-rnr-bag"
talker="$root/$build/tests/peers/rnr_test_talker"
listener="$root/$build/tests/peers/rnr_test_listener"
domain=179
keyed_type="rnr_test::KeyedSample"
keyless_type="rnr_test::KeylessSample"

work="$(mktemp -d /tmp/quorvin-rnr-demo-XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

echo
echo "== recording: talker publishes 20 rounds at 10 Hz on demo_keyed (XCDR1) and demo_keyless (XCDR2)"
"$exe" record -d "$domain" "$keyed_type" demo_keyed "$keyless_type" demo_keyless \
  >record.log 2>&1 &
recorder=$!
pids+=("$recorder")
sleep 1
"$talker" --domain "$domain" --topic keyed:demo_keyed --topic keyless:demo_keyless \
  --count 20 --rate 10 --wait-readers 1 >talker.log 2>&1
sleep 1
kill -INT "$recorder"
wait "$recorder" || true
sed 's/^/  record | /' record.log

bag="$(ls dovuve_*.sqlite3 | head -n 1)"
echo
echo "== the bag: quorvin-rnr-bag info $bag"
"$bagtool" info "$bag" | sed 's/^/  /'
echo
echo "== recorded type of demo_keyed, as IDL"
sqlite3 "$bag" "SELECT metastring FROM topics WHERE topic_name = 'demo_keyed';" | sed 's/^/  /'

samples="$(sqlite3 "$bag" "SELECT COUNT(*) FROM data;")"
echo
echo "== replaying $samples samples to a typed listener"
"$listener" --domain "$domain" --topic keyed:demo_keyed --topic keyless:demo_keyless \
  --count "$samples" --timeout-ms 30000 >listener.log 2>&1 &
listener_pid=$!
pids+=("$listener_pid")
for _ in $(seq 100); do
  grep -q READY listener.log && break
  sleep 0.1
done
"$exe" replay -d "$domain" "$bag" | sed 's/^/  replay | /'
wait "$listener_pid" || true

echo
echo "== what the listener received and decoded (first samples of each topic)"
awk '$1 == "SAMPLE" && shown[$2]++ < 3 {
       printf "  %s key=%s", $2, $4
       for (i = 6; i <= NF; i++) printf " %s", $i
       printf "\n"
     }' listener.log
for topic in demo_keyed demo_keyless; do
  echo "  $topic: $(grep -c "^SAMPLE $topic " listener.log || true) samples received"
done
echo "  in all: $(grep -c '^SAMPLE ' listener.log || true) of the $samples samples in the bag"
recorded_span="$(sqlite3 "$bag" "SELECT printf('%.2f', (MAX(timestamp) - MIN(timestamp)) / 1e9) FROM data;")"
replayed_span="$(awk '$1 == "SAMPLE" { t = $3; if (min == "" || t < min) min = t; if (t > max) max = t }
                     END { if (min != "") printf "%.2f", (max - min) / 1e9 }' listener.log)"
echo "  first to last sample: recorded over ${recorded_span} s, received over ${replayed_span} s"
