#!/usr/bin/env bash
# Makes the packages: two Debian packages of the native build, spindrel (the programs and the shared bus
# library) and spindrel-dev (headers, the static libraries, CMake package, pkg-config file), and a zip of
# the Windows x64 build (spindrel.exe, buspeer.exe, the static bus library, its headers, CMake package and
# toolchain file). Release builds without tests, in build/package/linux and build/package/windows (and
# build/package/linux-static, the libraries alone, whose archives spindrel-dev carries); the packages
# land in their packages/ folders, and the last lines name them:
#
#   scripts/package.sh            # both
#   scripts/package.sh linux      # or: windows
#
# SPINDREL_BUILD_ROOT (default: build) puts the build folders elsewhere; SPINDREL_JOBS (default: the
# number of cores) is the number of parallel build jobs.
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

# Configures a tree and builds a target of it: configure_and_build <step> <build dir> <target> <cmake options...>
configure_and_build() {
  local step="$1" build_dir="$2" target="$3"
  shift 3
  echo "=== $step: configure in $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSPINDREL_BUILD_TESTS=OFF "$@" >/dev/null
  echo "=== $step: build with $(build_jobs) jobs"
  cmake --build "$build_dir" -j"$(build_jobs)" --target "$target"
}

shopt -s nullglob  # a target makes either .debs or a zip
made=()
for target in "${targets[@]}"; do
  build_dir="$build_root/package/$target"
  case "$target" in
    linux)
      # The Debian layout: /usr, the multiarch library folder, the programs on the shared library; the
      # archives of a static build of the library (all it installs) go into spindrel-dev beside it.
      static_dir="$build_root/package/linux-static"
      configure_and_build "linux, static libraries" "$static_dir" bus -DBUILD_SHARED_LIBS=OFF \
        -DSPINDREL_STATIC_BESIDE_SHARED=ON -DCMAKE_INSTALL_PREFIX=/usr
      configure_and_build "linux, programs and shared library" "$build_dir" all -DBUILD_SHARED_LIBS=ON \
        -DCMAKE_INSTALL_PREFIX=/usr -DSPINDREL_PACK_STATIC_BUILD="$(cd "$static_dir" && pwd)"
      ;;
    windows)
      configure_and_build windows "$build_dir" all -DCMAKE_TOOLCHAIN_FILE="$repo_root/cmake/mingw-w64-x86_64.cmake"
      ;;
    *) echo "package.sh: unknown target '$target' (linux or windows)" >&2; exit 2 ;;
  esac
  echo "=== $target: package"
  rm -rf "$build_dir/packages"
  (cd "$build_dir" && cpack -C Release)
  made+=("$build_dir"/packages/*.deb "$build_dir"/packages/*.zip)
done
echo "=== packages:"
printf '  %s\n' "${made[@]}"
