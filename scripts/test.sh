#!/usr/bin/env bash
# Builds everything and runs every test: the native Linux build, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows x64 build under Wine. Exits non-zero on the first failure.
#
#   scripts/test.sh            # all three
#   scripts/test.sh linux      # any subset of: linux linux-asan windows
#
# SPINDREL_BUILD_ROOT (default: build) puts the build folders elsewhere, so that several work trees or
# people can build side by side; WINEPREFIX likewise chooses the Wine prefix.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
source scripts/deps.sh
source scripts/wine.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux linux-asan windows)

kinds=(native)
for preset in "${presets[@]}"; do [ "$preset" = windows ] && kinds+=(windows); done
require_packages "${kinds[@]}"

build_root="${SPINDREL_BUILD_ROOT:-build}"
for preset in "${presets[@]}"; do
  build_dir="$build_root/$preset"
  echo "=== $preset: configure and build in $build_dir"
  cmake --preset "$preset" -B "$build_dir" >/dev/null
  cmake --build "$build_dir" -j2
  echo "=== $preset: test"
  if [ "$preset" = windows ]; then
    wine_start
  fi
  ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 300
done
