#!/usr/bin/env bash
# Sets up, builds, and shows the tool at work on this machine's loopback.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
export CYCLONEDDS_URI="file://$root/config/cyclonedds-loopback.xml"
bash scripts/build.sh build/release -DRNR_BUILD_TESTS=ON >/dev/null

exe=build/release/src/app/quorvin-rnr
"$exe"
