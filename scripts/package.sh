#!/usr/bin/env bash
# Makes the packages: a Debian package of the native build and a zip of the Windows x64 build (spindrel.exe,
# buspeer.exe, the bus library, its headers and CMake package). Release builds without tests, in
# build/package/linux and build/package/windows; the packages land in their packages/ folders:
#
#   scripts/package.sh            # both
#   scripts/package.sh linux      # or: windows
#
# SPINDREL_BUILD_ROOT (default: build) puts the build folders elsewhere.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
source scripts/deps.sh

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(linux windows)

kinds=(native)
for target in "${targets[@]}"; do [ "$target" = windows ] && kinds+=(windows); done
require_packages "${kinds[@]}"

build_root="${SPINDREL_BUILD_ROOT:-build}"
for target in "${targets[@]}"; do
  case "$target" in
    linux) toolchain=() ;;
    windows) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$repo_root/cmake/mingw-w64-x86_64.cmake") ;;
    *) echo "package.sh: unknown target '$target' (linux or windows)" >&2; exit 2 ;;
  esac
  build_dir="$build_root/package/$target"
  echo "=== $target: configure and build in $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSPINDREL_BUILD_TESTS=OFF "${toolchain[@]}" >/dev/null
  cmake --build "$build_dir" -j"$(build_jobs)"
  echo "=== $target: package"
  (cd "$build_dir" && cpack -C Release)
  ls -l "$build_dir"/packages/*.deb "$build_dir"/packages/*.zip 2>/dev/null || true
done
