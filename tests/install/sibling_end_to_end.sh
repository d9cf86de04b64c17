#!/usr/bin/env bash
# The installed package as a sibling program uses it: installs the build into a staging folder, builds
# examples/sibling there as a separate CMake project with find_package (natively also once through
# pkg-config), then runs it on the bus: it must get the answer of the status query it asks buspeer,
# print the notices buspeer sends it, answer buspeer's status query in between, and leave after the
# second notice.
#
#   sibling_end_to_end.sh <source dir> <build dir> [<toolchain file> <emulator>]
#
# With a toolchain file the example is cross-built and every program runs through the emulator (Wine,
# whose server the caller has started).
set -euo pipefail
source_dir="$1"
build_dir="$2"
toolchain="${3:-}"
emulator="${4:-}"

work="$build_dir/install-test"
stage="$work/stage"
rm -rf "$work"
mkdir -p "$work"

fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out "$work"/*.err; do [ -s "$f" ] && { echo "--- $f"; cat "$f"; }; done >&2
  exit 1
}

cmake --install "$build_dir" --prefix "$stage" >"$work/install.log" || fail "cmake --install"
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"  # lib/<multiarch> for /usr
for f in include/spindrel/bus.h include/spindrel/transport/channel.h "$libdir/cmake/spindrel/spindrelConfig.cmake" \
  "$libdir/cmake/spindrel/spindrelConfigVersion.cmake"; do
  [ -f "$stage/$f" ] || fail "the install tree lacks $f"
done
# Only the public headers are installed: nothing of the internal tree may leak into them.
if grep -rEn '#include "(platform|common|transport)/' "$stage/include/spindrel"; then
  fail "a public header includes an internal one"
fi

cross_args=()
[ -n "$toolchain" ] && cross_args=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake -S "$source_dir/examples/sibling" -B "$work/sibling" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$stage" "${cross_args[@]}" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$work/sibling" -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
# A static build's tree answers to the static library's own name as well, as a package with both
# kinds does: a client that asks for it by name configures against either.
if grep -q '^BUILD_SHARED_LIBS:BOOL=OFF' "$build_dir/CMakeCache.txt"; then
  cmake -S "$source_dir/examples/sibling" -B "$work/sibling-static" -DSIBLING_STATIC=ON -DCMAKE_PREFIX_PATH="$stage" \
    "${cross_args[@]}" >"$work/configure-static.log" 2>&1 || { cat "$work/configure-static.log"; fail "configure on spindrel::bus_static"; }
fi

suffix=""
[ -n "$toolchain" ] && suffix=".exe"
sibling="$work/sibling/sibling$suffix"
buspeer="$stage/bin/buspeer$suffix"
[ -f "$sibling" ] || fail "no $sibling"

if [ -z "$toolchain" ]; then
  # shellcheck disable=SC2046
  g++ -std=c++20 -o "$work/sibling-pc" "$source_dir/examples/sibling/main.cpp" \
    $(PKG_CONFIG_PATH="$stage/$libdir/pkgconfig" pkg-config --cflags --libs spindrel) || fail "pkg-config build"
  rc=0
  LD_LIBRARY_PATH="$stage/$libdir" "$work/sibling-pc" >/dev/null 2>&1 || rc=$?  # a shared build is not on any path
  [ "$rc" -eq 2 ] || fail "the pkg-config build does not run (rc $rc, want the usage code 2)"
fi

# A tree built for /usr gives its programs no run path: the loader finds the staged library by the path.
run() { LD_LIBRARY_PATH="$stage/$libdir" timeout 60 $emulator "$@"; }

# Clients no other test of the suite plays in the global scope, on both sides. buspeer answers the
# sibling's own query; it says on stderr once it is on the bus.
run "$buspeer" listen --as TwUpdate --global --answer '{"up":true}' --count 1 --timeout 30000 \
  >"$work/answerer.out" 2>"$work/answerer.err" &
answerer_pid=$!
deadline=$((SECONDS + 30))
until grep -q '^listening as' "$work/answerer.err" 2>/dev/null; do
  kill -0 "$answerer_pid" 2>/dev/null || fail "buspeer listen ended before it joined"
  [ $SECONDS -lt $deadline ] || fail "buspeer listen did not join within 30 s"
  sleep 0.1
done
run "$sibling" TwNetbar --global --timeout 30000 --ask TwUpdate >"$work/sibling.out" 2>"$work/sibling.err" &
sibling_pid=$!

# Polls the sibling's output for a line, with a deadline.
wait_for_line() {
  local deadline=$((SECONDS + 30))
  until grep -q "$1" "$work/sibling.out" 2>/dev/null; do
    kill -0 "$sibling_pid" 2>/dev/null || fail "the sibling ended before printing '$1'"
    [ $SECONDS -lt $deadline ] || fail "the sibling did not print '$1' within 30 s"
    sleep 0.1
  done
}
wait_for_line '^joined as TwNetbar'

run "$buspeer" send --from TwPeltoSdk --to TwNetbar --global --msg 83000 --data '{"pid":4242}' \
  >"$work/send1.out" 2>&1 || fail "buspeer send 83000"
# The bus dispatches on several threads: the notice is counted once it is printed.
wait_for_line '^notice 83000'
run "$buspeer" query --from TwPeltoSdk --to TwNetbar --global --query 1 --timeout 10000 \
  >"$work/query.out" 2>"$work/query.err" || fail "buspeer query"
run "$buspeer" send --from TwPeltoSdk --to TwNetbar --global --msg 20017 --data '"bye"' \
  >"$work/send2.out" 2>&1 || fail "buspeer send 20017"

rc=0
wait "$sibling_pid" || rc=$?
[ "$rc" -eq 0 ] || fail "the sibling exited with $rc"

tr -d '\r' <"$work/sibling.out" >"$work/sibling.txt"
tr -d '\r' <"$work/query.out" >"$work/query.txt"
grep -qx 'notice 83000 from 150001: {"pid":4242}' "$work/sibling.txt" || fail "notice 83000 not printed"
grep -qx 'notice 20017 from 150001: "bye"' "$work/sibling.txt" || fail "notice 20017 not printed"
grep -q '"notices":1' "$work/query.txt" || fail "the query answer is not the status after the first notice"
grep -q '"client":"TwNetbar"' "$work/query.txt" || fail "the query answer does not name the sibling"
grep -qx 'left' "$work/sibling.txt" || fail "the sibling did not leave"
grep -qx 'asked TwUpdate: {"up":true}' "$work/sibling.txt" || fail "the sibling's own query got no answer"
wait "$answerer_pid" || fail "buspeer listen did not answer the sibling's query"
echo "the installed package builds and runs the sibling${toolchain:+ (cross-built, run through $emulator)}"
