#!/usr/bin/env bash
# Sets up the machine, builds, and runs the whole test suite twice: once in a
# plain build and once under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

# Every DDS participant started from here stays on loopback.
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"

jobs="$(nproc)"
# End-to-end tests run real DDS processes against each other and wait on
# real time; a test that fails is run once more before the suite fails, so a
# moment of load on a shared machine does not fail the run.
repeat="--repeat until-pass:2"

echo "== build (release)"
bash scripts/build.sh build/release
echo "== tests (release)"
ctest --test-dir build/release --output-on-failure -j"$jobs" --timeout 600 $repeat

echo "== build (address and undefined-behaviour sanitizers)"
bash scripts/build.sh build/asan -DRNR_SANITIZE=ON -DRNR_BUILD_BENCH=OFF
echo "== tests (sanitizers)"
ctest --test-dir build/asan --output-on-failure -j"$jobs" --timeout 900 $repeat
