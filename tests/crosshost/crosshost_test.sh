#!/usr/bin/env bash
# Recording and replay across two hosts: two network namespaces joined by a
# veth pair, with addresses in a private /24 that exists only inside them.
# Each side runs Cyclone DDS on its veth interface, without multicast, with the
# other side as its unicast peer. Side A publishes, side B records; then B
# replays the bag to a listener on A. Nothing is lost either way.
#
# Usage: crosshost_test.sh TOOL TALKER LISTENER
# Exit status: 0 passed, 1 failed, 77 skipped (namespaces cannot be created).
set -u
tool="$1" talker="$2" listener="$3"

ns_a="rnr-xh-a-$$" ns_b="rnr-xh-b-$$"
veth_a="rnrxa$$" veth_b="rnrxb$$"
addr_a=10.213.47.1 addr_b=10.213.47.2
work="$(mktemp -d /tmp/rnr-crosshost-XXXXXX)"
pids=()

cleanup() {
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  ip netns del "$ns_a" 2>/dev/null
  ip netns del "$ns_b" 2>/dev/null
  cd / && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*"
  for f in "$work"/*.out; do
    echo "--- $f"
    tail -n 20 "$f"
  done
  exit 1
}

if ! ip netns add "$ns_a" 2>/dev/null || ! ip netns add "$ns_b" 2>/dev/null; then
  echo "SKIP: cannot create network namespaces here (needs root and CAP_SYS_ADMIN)"
  exit 77
fi
if ! ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b"; then
  echo "SKIP: cannot create a veth pair between the namespaces"
  exit 77
fi
ip -n "$ns_a" addr add "$addr_a/24" dev "$veth_a" || fail "address of side A"
ip -n "$ns_b" addr add "$addr_b/24" dev "$veth_b" || fail "address of side B"
for side in "$ns_a" "$ns_b"; do
  ip -n "$side" link set lo up || fail "loopback up in $side"
done
ip -n "$ns_a" link set "$veth_a" up || fail "veth up on side A"
ip -n "$ns_b" link set "$veth_b" up || fail "veth up on side B"

# One Cyclone configuration per side: its veth interface, no multicast, the
# other side as unicast peer.
config() {
  cat > "$work/$1.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<CycloneDDS xmlns="https://cdds.io/config">
  <Domain Id="any">
    <General>
      <Interfaces>
        <NetworkInterface name="$2"/>
      </Interfaces>
      <AllowMulticast>false</AllowMulticast>
    </General>
    <Discovery>
      <ParticipantIndex>auto</ParticipantIndex>
      <MaxAutoParticipantIndex>20</MaxAutoParticipantIndex>
      <Peers>
        <Peer address="$3"/>
      </Peers>
    </Discovery>
  </Domain>
</CycloneDDS>
XML
}
config a "$veth_a" "$addr_b"
config b "$veth_b" "$addr_a"
on_a() { ip netns exec "$ns_a" env CYCLONEDDS_URI="file://$work/a.xml" "$@"; }
on_b() { ip netns exec "$ns_b" env CYCLONEDDS_URI="file://$work/b.xml" "$@"; }


count=50
cd "$work" || fail "work directory"
# Started without a shell in between (ip netns exec and env exec the tool), so
# that the signal reaches the tool itself.
ip netns exec "$ns_b" env CYCLONEDDS_URI="file://$work/b.xml" \
  "$tool" record -d 170 -l info rnr_test::KeyedSample xh_topic > "$work/record.out" 2>&1 &
record_pid=$!
pids+=("$record_pid")
on_a "$talker" --domain 170 --topic keyed:xh_topic --count "$count" --rate 50 \
  --wait-readers 1 --wait-timeout-ms 60000 > "$work/talker.out" 2>&1 || fail "talker"
sleep 1
kill -INT "$record_pid"
wait "$record_pid" || fail "recorder exit status"

bag="$(ls "$work"/dovuve_*.sqlite3 2>/dev/null | head -n 1)"
[ -n "$bag" ] || fail "no bag"
grep '^SAMPLE xh_topic ' "$work/talker.out" | awk '{print $8}' > "$work/sent.hex"
sqlite3 "$bag" "SELECT lower(hex(serialized_data)) FROM data ORDER BY _id" > "$work/recorded.hex"
[ "$(wc -l < "$work/sent.hex")" -eq "$count" ] || fail "talker did not send $count samples"
cmp -s "$work/sent.hex" "$work/recorded.hex" || fail "recorded samples differ from the sent ones"

ip netns exec "$ns_a" env CYCLONEDDS_URI="file://$work/a.xml" \
  "$listener" --domain 171 --topic keyed:xh_topic --count "$count" --timeout-ms 60000 \
  > "$work/listener.out" 2>&1 &
pids+=($!)
listener_pid=$!
for _ in $(seq 1 300); do
  grep -q READY "$work/listener.out" && break
  sleep 0.1
done
on_b "$tool" replay -d 171 "$bag" > "$work/replay.out" 2>&1 || fail "replay exit status"
wait "$listener_pid" || fail "listener did not receive $count samples"
grep '^SAMPLE xh_topic ' "$work/listener.out" | awk '{print $5}' > "$work/received.hex"
cmp -s "$work/sent.hex" "$work/received.hex" || fail "replayed samples differ from the sent ones"

echo "PASS: $count samples recorded across hosts and replayed back across hosts"
exit 0
