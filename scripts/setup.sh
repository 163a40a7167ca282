#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and
# the demo need. Quiet and quick when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libsqlite3-dev sqlite3
  cyclonedds-dev cyclonedds-tools
  libmbedtls-dev
  libzstd-dev liblz4-dev
  libgtest-dev googletest
  clang-format
  binutils
  libfastrtps-dev fastddsgen
  iproute2
)
# Node and npm run the test-only MCAP reader (tests/bagtool/node). Debian's
# packages are installed only when the commands are missing, so that a Node
# from another source is kept.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# The test-only npm packages, at the versions of the committed lock file.
node_packages() {
  local dir
  dir="$(cd "$(dirname "$0")/.." && pwd)/tests/bagtool/node"
  if [ ! -d "$dir/node_modules" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; then
    echo "setup: installing the test's npm packages into $dir"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    touch "$dir/node_modules"
  fi
}

if [ "${#missing[@]}" -eq 0 ]; then
  node_packages
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
fi

echo "setup: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
node_packages
