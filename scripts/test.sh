#!/usr/bin/env bash
# Builds everything and runs every test: the native Linux build, the Debian packages (built by
# scripts/package.sh, unpacked and checked by tests/install/packages.sh), the same build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and under ThreadSanitizer, the Windows x64 build under
# Wine with its zip, and a short run of each fuzz target (scripts/fuzz.sh). Exits non-zero on the first
# failure.
#
#   scripts/test.sh            # all of them
#   scripts/test.sh linux      # any subset of: linux packages linux-asan linux-tsan fuzz windows
#
# SPINDREL_FUZZ_SECONDS (default: 60) is the length of each target's fuzz run.
# SPINDREL_JOBS (default: the number of cores) is the number of parallel build jobs.
# SPINDREL_BUILD_ROOT (default: build) puts the build folders elsewhere, so that several work trees or
# people can build side by side; WINEPREFIX likewise chooses the Wine prefix.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
source scripts/deps.sh
source scripts/wine.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux packages linux-asan linux-tsan fuzz windows)  # ctest's summary closes the output

kinds=(native)
for preset in "${presets[@]}"; do [ "$preset" = windows ] && kinds+=(windows); done
require_packages "${kinds[@]}"

build_root="${SPINDREL_BUILD_ROOT:-build}"
for preset in "${presets[@]}"; do
  if [ "$preset" = fuzz ]; then
    scripts/fuzz.sh all "${SPINDREL_FUZZ_SECONDS:-60}"
    continue
  fi
  if [ "$preset" = packages ]; then
    # Builds of their own (the library shared and static, the prefix /usr), without tests: about as long
    # as building the library twice and the programs once more.
    scripts/package.sh linux
    echo "=== packages: unpack and check"
    bash tests/install/packages.sh deb "$repo_root" "$build_root/package/linux"
    continue
  fi
  build_dir="$build_root/$preset"
  echo "=== $preset: configure and build in $build_dir"
  cmake --preset "$preset" -B "$build_dir" >/dev/null
  cmake --build "$build_dir" -j"$(build_jobs)"
  echo "=== $preset: test"
  if [ "$preset" = windows ]; then
    wine_start
  fi
  if [ "$preset" = linux-tsan ]; then
    # Reports end every process with exit code 66, children included, so a race fails its test.
    export TSAN_OPTIONS="suppressions=$repo_root/tests/tsan.supp exitcode=66 ${TSAN_OPTIONS:-}"
  fi
  ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 300  # the tests meet on machine-wide names: keep them few
  if [ "$preset" = windows ]; then
    echo "=== windows: the zip, unpacked and checked"  # packs the build just tested: no build of its own
    bash tests/install/packages.sh zip "$repo_root" "$build_dir" "$wine_loader"
  fi
done
