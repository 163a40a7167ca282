#!/usr/bin/env bash
# Long fuzz run of quorvin-rnr replay and quorvin-rnr-bag info/json/mcap over
# mutated damaged bags and random argument vectors; prints what went wrong
# and one summary line, and exits 1 if anything did. Not part of the tests.
#
#   bench/fuzz/run_fuzz.sh [BUILD_DIR] [BAGS] [ARGV_PER_BAG] [SEED]
#
# BUILD_DIR: a build with the benchmarks (default build/release); a build
# with -DRNR_SANITIZE=ON runs everything under the sanitizers. DDS traffic
# stays on loopback, domain 177.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build/release}" && pwd)"
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$build/bench/fuzz/bag_fuzz" "$build/src/app/quorvin-rnr" \
  "$build/src/bagtool/quorvin-rnr-bag" "${2:-300}" "${3:-10}" "${4:-1}" 177
