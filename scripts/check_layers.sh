#!/usr/bin/env bash
# Checks the floor plan of docs/architecture.md: every include in src/ points
# down or sideways, and only the binding (and the IDL-tree shim) includes
# Cyclone's headers. Prints each include that breaks the plan; exit 1 if any.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root/src"

# The folders each folder of src/ may include, besides itself.
declare -A allowed=(
  [types]=""
  [log]=""
  [bag]="types log"
  [middleware]="types log"
  [recorder]="bag middleware types log"
  [replayer]="bag middleware types log"
  [bagtool]="bag types log"
  [app]="recorder replayer types log"
  [control]="middleware types log"
)
# The one file of the bag tool that plays through the replayer (a program of
# its own, so that the other commands do not link the binding).
bagtool_player="bagtool/play_main.cpp"
# The one file of the bag tool that records through the recorder, and obeys
# the remote control (a program of its own as well).
bagtool_recorder="bagtool/record_main.cpp"

status=0
complain() {
  echo "$1"
  status=1
}

while IFS= read -r file; do
  folder="${file%%/*}"
  if [ -z "${allowed[$folder]+set}" ]; then
    complain "$file: a folder the floor plan does not name"
    continue
  fi
  while IFS= read -r target; do
    [ "$target" = "$folder" ] && continue
    if [[ " ${allowed[$folder]} " == *" $target "* ]]; then
      continue
    fi
    if [ "$file" = "$bagtool_player" ] && [ "$target" = "replayer" ]; then
      continue
    fi
    if [ "$file" = "$bagtool_recorder" ] && { [ "$target" = "recorder" ] || [ "$target" = "control" ]; }; then
      continue
    fi
    complain "$file includes $target/: $folder may include only: ${allowed[$folder]:-nothing else}"
  done < <(sed -n -E 's@^[[:space:]]*#[[:space:]]*include[[:space:]]+"([a-z_]+)/.*@\1@p' "$file" | sort -u)
  if grep -q -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+<(dds|idl)/' "$file" &&
    [ "$folder" != "middleware" ] && [ "$file" != "types/idl_tree.c" ]; then
    complain "$file includes a Cyclone header: only middleware/ and types/idl_tree.c may"
  fi
done < <(find . -type f \( -name '*.h' -o -name '*.c' -o -name '*.cpp' \) | sed 's@^\./@@' | sort)

exit "$status"
