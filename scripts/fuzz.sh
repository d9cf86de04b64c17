#!/usr/bin/env bash
# Builds the libFuzzer targets (preset linux-fuzz, clang) and fuzzes one or all of them.
#
#   scripts/fuzz.sh                    # every target, 60 seconds each
#   scripts/fuzz.sh channel 3600       # one target (packet, cmdline or channel) for an hour
#
# Each run starts from the committed seeds in tests/fuzz/corpus/<target>/ and writes the inputs it finds
# interesting to a temporary folder, so the committed corpus is left as it is; set SPINDREL_FUZZ_KEEP=<dir>
# to keep them in <dir>/<target> instead (merge them into the corpus by hand with -merge=1). A crash, a hang (over
# 10 s for one input), an out-of-memory or a single allocation over 256 MB stops the run with a non-zero
# exit code; the input that caused it is written to build/linux-fuzz/crashes/.
#
# Every target runs in a mount namespace of its own with a private /dev/shm: the channel target writes
# garbage into large-message pools, which live in the machine-wide namespace, and nothing of a fuzz run
# must reach (or be left in) the /dev/shm of other processes.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
source scripts/deps.sh
require_packages native

all_targets=(packet cmdline channel)
targets=("${1:-all}")
[ "${targets[0]}" = all ] && targets=("${all_targets[@]}")
seconds="${2:-60}"
for target in "${targets[@]}"; do
  case " ${all_targets[*]} " in *" $target "*) ;; *) echo "fuzz.sh: unknown target '$target'" >&2; exit 2 ;; esac
done

build_dir="${SPINDREL_BUILD_ROOT:-build}/linux-fuzz"
cmake --preset linux-fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$(build_jobs)" --target "${targets[@]/#/fuzz_}"

# A private /dev/shm needs a new mount namespace: as an ordinary user, also a user namespace.
private_shm=(unshare --mount)
[ "$(id -u)" -eq 0 ] || private_shm+=(--map-root-user)
if ! "${private_shm[@]}" true 2>/dev/null; then
  echo "fuzz.sh: cannot make a mount namespace ('${private_shm[*]}' failed); unprivileged users need" >&2
  echo "  user namespaces (sysctl kernel.unprivileged_userns_clone=1)" >&2
  exit 1
fi

crashes="$build_dir/crashes"
mkdir -p "$crashes"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

for target in "${targets[@]}"; do
  found="${SPINDREL_FUZZ_KEEP:-$scratch}/$target"
  mkdir -p "$found"
  echo "=== fuzz $target for ${seconds}s"
  # The channel input that fills a pool and a queue: 40 + 128 + 24,832 bytes. Packets a little
  # longer than the reader's 1 MiB limit: deep nesting many times over, and the size limit itself.
  max_len=4096
  [ "$target" = channel ] && max_len=25000
  [ "$target" = packet ] && max_len=1100000
  "${private_shm[@]}" sh -c 'mount -t tmpfs -o size=64m tmpfs /dev/shm && exec "$@"' fuzz \
    "$build_dir/bin/fuzz_$target" "$found" "tests/fuzz/corpus/$target" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=256 \
    -artifact_prefix="$crashes/$target-" -print_final_stats=1 2>"$scratch/$target.log" || {
    tail -n 60 "$scratch/$target.log" >&2
    echo "=== fuzz $target: FAILED (input in $crashes/)" >&2
    exit 1
  }
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done ' "$scratch/$target.log" || true
done
