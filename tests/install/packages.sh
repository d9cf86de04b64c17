#!/usr/bin/env bash
# The packages as a user unpacks them: runs CPack on a configured and built tree, unpacks each package
# into a scratch root (dpkg -x, or the zip's own extraction), compares its file list with the expected
# one beside this script, and builds examples/sibling against the unpacked development files (the Debian
# ones both ways: on the shared library, and on the static archives through CMake and pkg-config).
#
#   packages.sh deb <source dir> <build dir>   # the tree of `scripts/package.sh linux`
#   packages.sh zip <source dir> <build dir> <emulator>   # a Windows tree: the sibling is cross-built
#                                              # with the toolchain file the zip carries, run by the emulator
#
# The expected lists (spindrel.files, spindrel-dev.files, windows-zip.files) hold every path the
# package installs, symbolic links as `path -> target`; a line `folder/...` stands for a folder of
# another project's files, whatever they are. @MULTIARCH@ stands for the library folder's architecture,
# @VERSION@ for the package version and @CONFIG@ for the build type, in lower case.
set -euo pipefail
kind="$1"
source_dir="$(cd "$2" && pwd)"
build_dir="$(cd "$3" && pwd)"
emulator="${4:-}"
lists="$source_dir/tests/install"

work="$build_dir/package-test"
rm -rf "$work"
mkdir -p "$work"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Every file and link below a root, one per line, sorted; folders are implied by their contents.
list_tree() {
  (cd "$1" && find . \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort | while read -r path; do
    if [ -L "$path" ]; then echo "$path -> $(readlink "$path")"; else echo "$path"; fi
  done)
}

# Compares a root's files with an expected list, after substituting the placeholders.
check_list() {
  local root="$1" expected="$2" version="$3"
  sed -e "s/@MULTIARCH@/${multiarch:-}/g" -e "s/@VERSION@/$version/g" -e "s/@CONFIG@/${build_type,,}/g" \
    "$lists/$expected" >"$work/$expected.want"
  list_tree "$root" | awk -v want="$work/$expected.want" '
    BEGIN { while ((getline line < want) > 0) if (line ~ /\/\.\.\.$/) folders[substr(line, 1, length(line) - 3)] = line }
    { for (f in folders) if (index($0, f) == 1) { if (!(f in seen)) print folders[f]; seen[f] = 1; next } print }
  ' >"$work/$expected.got"
  diff -u "$work/$expected.want" "$work/$expected.got" >"$work/$expected.diff" ||
    { cat "$work/$expected.diff" >&2; fail "the package's files differ from $expected (- expected, + packed)"; }
}

build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
(cd "$build_dir" && cpack -C "$build_type" -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }

# build_sibling <build folder name> <cmake options...>
build_sibling() {
  local name="$1"
  shift
  cmake -S "$source_dir/examples/sibling" -B "$work/$name" -DCMAKE_BUILD_TYPE=Release "$@" \
    >"$work/$name-configure.log" 2>&1 || { cat "$work/$name-configure.log"; fail "configure $name"; }
  cmake --build "$work/$name" -j2 >"$work/$name-build.log" 2>&1 || { cat "$work/$name-build.log"; fail "build $name"; }
}

# Without arguments the sibling prints its usage and exits 2: it starts, its libraries load.
expect_usage_exit() {
  local rc=0
  "$@" >/dev/null 2>&1 || rc=$?
  [ "$rc" -eq 2 ] || fail "$* does not run (rc $rc, want the usage code 2)"
}

# Whether a program names the shared bus library among the ones it loads.
needs_shared_bus() {
  readelf -d "$1" | grep NEEDED | grep -q 'libspindrel_bus\.so'
}

case "$kind" in
  deb)
    multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
    all="$work/root"  # both packages, as installed together
    for name in spindrel spindrel-dev; do
      deb=("$work"/out/"${name}"_*.deb)
      [ -f "${deb[0]}" ] || fail "cpack made no $name package"
      version="$(dpkg-deb -f "${deb[0]}" Version)"
      dpkg-deb -x "${deb[0]}" "$work/$name"
      dpkg-deb -x "${deb[0]}" "$all"
      check_list "$work/$name" "$name.files" "$version"
      # Debian reads the newest entry of the changelog as the package's version.
      changelog_version="$(gzip -dc "$work/$name/usr/share/doc/$name/changelog.Debian.gz" | sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p')"
      [ "$changelog_version" = "$version" ] || fail "$name $version has a changelog for $changelog_version"
      dpkg-deb -f "${deb[0]}" Depends >"$work/$name.depends"
    done
    # The programs run without development packages; the development files bring what a client needs.
    grep -q -- '-dev' "$work/spindrel.depends" && fail "spindrel depends on a development package: $(cat "$work/spindrel.depends")"
    grep -q "spindrel (= $version)" "$work/spindrel-dev.depends" || fail "spindrel-dev does not depend on spindrel $version"
    grep -q "nlohmann-json3-dev" "$work/spindrel-dev.depends" || fail "spindrel-dev does not depend on the JSON headers"

    # Linked either way, the sibling is what it asked for; the static ones run without the library path.
    build_sibling sibling -DCMAKE_PREFIX_PATH="$all/usr"
    needs_shared_bus "$work/sibling/sibling" || fail "the sibling on spindrel::bus does not load the shared library"
    expect_usage_exit env LD_LIBRARY_PATH="$all/usr/lib/$multiarch" "$work/sibling/sibling"

    build_sibling sibling-static -DCMAKE_PREFIX_PATH="$all/usr" -DSIBLING_STATIC=ON
    needs_shared_bus "$work/sibling-static/sibling" && fail "the sibling on spindrel::bus_static loads the shared library"
    expect_usage_exit "$work/sibling-static/sibling"

    # The same static link through pkg-config, which lists what it needs; -Bstatic picks the archives.
    pc=(env PKG_CONFIG_PATH="$all/usr/lib/$multiarch/pkgconfig" pkg-config)
    # shellcheck disable=SC2046
    g++ -std=c++20 -o "$work/sibling-pc-static" "$source_dir/examples/sibling/main.cpp" $("${pc[@]}" --cflags spindrel) \
      -Wl,-Bstatic $("${pc[@]}" --static --libs spindrel) -Wl,-Bdynamic >"$work/pc-static.log" 2>&1 ||
      { cat "$work/pc-static.log"; fail "build the sibling with pkg-config --static"; }
    needs_shared_bus "$work/sibling-pc-static" && fail "the sibling linked with pkg-config --static loads the shared library"
    expect_usage_exit "$work/sibling-pc-static"
    ;;
  zip)
    zip=("$work"/out/spindrel-*.zip)
    [ -f "${zip[0]}" ] || fail "cpack made no zip"
    version="$(basename "${zip[0]}" | sed 's/^spindrel-\([^-]*\)-.*/\1/')"
    mkdir "$work/unzipped"
    (cd "$work/unzipped" && cmake -E tar xf "${zip[0]}")
    check_list "$work/unzipped" windows-zip.files "$version"
    tree=("$work"/unzipped/spindrel-*)
    build_sibling sibling -DCMAKE_PREFIX_PATH="${tree[0]}" -DCMAKE_TOOLCHAIN_FILE="${tree[0]}/lib/cmake/spindrel/mingw-w64-x86_64.cmake"
    expect_usage_exit $emulator "$work/sibling/sibling.exe"
    ;;
  *) fail "unknown package kind '$kind' (deb or zip)" ;;
esac
echo "the $kind packages hold the expected files and build the sibling"
