#!/usr/bin/env bash
# Builds what is missing and runs the exit monitor once, then prints the lines this run appended to its
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
cmake --build --preset linux --target spindrel >/dev/null

log="${TMPDIR:-/tmp}/Brisden/Tarnwick/spindrel.log"
before=0
[ -f "$log" ] && before=$(stat -c %s "$log")
echo "\$ spindrel ${options[*]}"
status=0
build/linux/bin/spindrel "${options[@]}" || status=$?
echo "exit code: $status"
echo "--- appended to $log:"
tail -c +"$((before + 1))" "$log"
