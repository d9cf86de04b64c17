#!/usr/bin/env bash
# Builds what is missing and runs the exit monitor once, with two sibling clients (played by buspeer)
# listening on the bus; then prints the notices they received and the lines the run appended to its
# log file. Options given here replace the example exit.
#
#   scripts/run-exit-monitor.sh
#   scripts/run-exit-monitor.sh --spe-src 1 --spe-dst 2 --spe-dstatus 0 --process-type 2
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
source scripts/deps.sh
require_packages native

options=("$@")
[ ${#options[@]} -gt 0 ] || options=(--spe-src 1234 --spe-dst 5678 --spe-dstatus 3221225477 --process-type 6)

cmake --preset linux >/dev/null
cmake --build --preset linux --target spindrel buspeer >/dev/null
bin=build/linux/bin

# The siblings that receive exit notices, on their global channels, for a few seconds.
peers=$(mktemp -d)
trap 'rm -rf "$peers"' EXIT
for sibling in TwGameService TwEmulator; do
  "$bin/buspeer" listen --as "$sibling" --global --timeout 2000 >"$peers/$sibling" &
done
for _ in $(seq 200); do
  [ "$("$bin/buspeer" clients | grep -c ' global$')" -ge 2 ] && break
  sleep 0.01
done

log="${TMPDIR:-/tmp}/Brisden/Tarnwick/spindrel.log"
before=0
[ -f "$log" ] && before=$(stat -c %s "$log")
echo "\$ spindrel ${options[*]}"
status=0
"$bin/spindrel" "${options[@]}" || status=$?
echo "exit code: $status"
wait
for sibling in TwGameService TwEmulator; do
  echo "--- received by $sibling:"
  cat "$peers/$sibling"
done
echo "--- appended to $log:"
tail -c +"$((before + 1))" "$log"
