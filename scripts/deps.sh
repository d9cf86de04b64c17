# Sourced by the other scripts: makes sure the Debian packages a build needs are installed.
#
#   require_packages programs # the Linux programs alone (the exit monitor and buspeer)
#   require_packages native   # the Linux build with its tests, benchmarks and fuzzers
#   require_packages windows  # the mingw-w64 cross build and Wine
#
# As root, missing packages are installed; otherwise the one apt-get line to run is printed and the
# script stops.

program_packages=(cmake make g++ nlohmann-json3-dev libfmt-dev)
native_packages=(cmake make g++ clang libclang-rt-14-dev nlohmann-json3-dev libfmt-dev libgtest-dev libbenchmark-dev
                 libboost-dev pkg-config dpkg-dev)
windows_packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 wine googletest)
# buspeer's command line: CLI11, header-only, so the Windows build uses the same headers.
program_packages+=(libcli11-dev)
native_packages+=(libcli11-dev)
windows_packages+=(libcli11-dev)

require_packages() {
  local wanted=()
  local kind
  for kind in "$@"; do
    case "$kind" in
      programs) wanted+=("${program_packages[@]}") ;;
      native) wanted+=("${native_packages[@]}") ;;
      windows) wanted+=("${windows_packages[@]}") ;;
      *) echo "require_packages: unknown kind '$kind'" >&2; return 2 ;;
    esac
  done

  local missing=() package
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Parallel build jobs: SPINDREL_JOBS when set, else one per core.
build_jobs() {
  echo "${SPINDREL_JOBS:-$(nproc 2>/dev/null || echo 2)}"
}
