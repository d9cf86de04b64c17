#!/usr/bin/env bash
# Builds the two programs it runs (in build/programs, without the tests) and runs the exit monitor once, with two sibling clients (played by buspeer)
# listening on the bus; then prints the notices they received and the lines the run appended to its
# log file. Options given here replace the example exit.
#
#   scripts/run-exit-monitor.sh
#   scripts/run-exit-monitor.sh --spe-src 1 --spe-dst 2 --spe-dstatus 0 --process-type 2
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
source scripts/deps.sh
require_packages programs

options=("$@")
[ ${#options[@]} -gt 0 ] || options=(--spe-src 1234 --spe-dst 5678 --spe-dstatus 3221225477 --process-type 6)

build_dir="${SPINDREL_BUILD_ROOT:-build}/programs"
echo "=== building spindrel and buspeer in $build_dir (a few minutes the first time)"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPINDREL_BUILD_TESTS=OFF \
  -DSPINDREL_BUILD_BENCHMARKS=OFF -DSPINDREL_TEST_INSTALL=OFF >/dev/null
cmake --build "$build_dir" -j"$(build_jobs)" --target spindrel buspeer | sed -u -n -E '/^\[ *[0-9]+%\]/p'
bin=$build_dir/bin

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

# The log goes under the temp folder, or to the user's cache folder where that path is unsafe.
logs=("${TMPDIR:-/tmp}/Brisden/Tarnwick/spindrel.log" "${XDG_CACHE_HOME:-$HOME/.cache}/spindrel/spindrel.log")
sizes=()
for log in "${logs[@]}"; do sizes+=("$(stat -c %s "$log" 2>/dev/null || echo 0)"); done
echo "\$ spindrel ${options[*]}"
status=0
"$bin/spindrel" "${options[@]}" || status=$?
echo "exit code: $status"
wait
for sibling in TwGameService TwEmulator; do
  echo "--- received by $sibling:"
  cat "$peers/$sibling"
done
for i in "${!logs[@]}"; do
  size=$(stat -c %s "${logs[$i]}" 2>/dev/null || echo 0)
  [ "$size" -gt "${sizes[$i]}" ] || continue
  echo "--- appended to ${logs[$i]}:"
  tail -c +"$((sizes[i] + 1))" "${logs[$i]}"
done
