#!/usr/bin/env bash
# Builds everything and runs every test: the native Linux build, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows x64 build under Wine. Exits non-zero on the first failure.
#
#   scripts/test.sh            # all three
#   scripts/test.sh linux      # any subset of: linux linux-asan windows
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

for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  if [ "$preset" = windows ]; then
    wine_start
  fi
  ctest --preset "$preset"
done
