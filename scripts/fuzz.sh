#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in build-fuzz/ and runs each for SECONDS
# (default 60) on a copy of its seed corpus tests/fuzz/corpus/<target>/, inside a private network
# namespace (the client connection's target closes real, never connected sockets). Prints each
# target's executions per second; exits 1 when a target found a crash, naming the input.
#   scripts/fuzz.sh [SECONDS]
# The run's random seed is printed; QV_FUZZ_SEED=N runs the same mutations again.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  echo "usage: $0 [SECONDS]" >&2
  exit 2
}
[ $# -le 1 ] || usage
seconds=${1:-60}
case "$seconds" in "" | *[!0-9]*) usage ;; esac

if [ "${QV_IN_NETNS:-}" != "1" ]; then
  # shellcheck source=scripts/prepare.sh
  . "$top/scripts/prepare.sh"
  qv_install clang-16 libclang-rt-16-dev llvm-16
  qv_prepare build-fuzz -DQV_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-16
  qv_build build-fuzz qv_fuzz
  exec "$top/scripts/netns-run" "$top/scripts/fuzz.sh" "$seconds"
fi

bin="$top/build-fuzz/tests/fuzz"
# Temporary files in memory: the settings target rewrites its file for every input, and a disk
# file system would write it out at every close.
export TMPDIR=/dev/shm
# Sanitizer reports with files and lines, and a back trace for undefined behaviour too.
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-16/bin/llvm-symbolizer
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
seed=${QV_FUZZ_SEED:-$((RANDOM * 32768 + RANDOM + 1))}
work=$(mktemp -d /tmp/qv-fuzz.XXXXXX)
found=0
summary=()
for corpus in "$top"/tests/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  cp -r "$corpus" "$work/$target" # new inputs go into the copy, never into the repository
  log="$work/$target.log"
  status=0
  # Standard output closed: the code under test logs every event there.
  "$bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -seed="$seed" -print_final_stats=1 \
    -close_fd_mask=1 -artifact_prefix="$work/$target-" "$work/$target" > "$log" 2>&1 || status=$?
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  [ -n "$rate" ] || rate=$(sed -n 's/.*DONE .* exec\/s: \([0-9]*\).*/\1/p' "$log" | tail -1)
  if [ "$status" = 0 ]; then
    summary+=("$(printf '%-16s %10s   %s' "$target" "${rate:-?}" ok)")
    continue
  fi
  found=1
  input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
  summary+=("$(printf '%-16s %10s   %s' "$target" "${rate:-?}" "FAILED: ${input:-no input written, see $log}")")
  echo "== $target failed (exit $status); the end of $log:" >&2
  tail -40 "$log" >&2
done

echo
echo "Fuzzing, $seconds s per target, seed $seed:"
printf '%-16s %10s   %s\n' target exec/s result
printf '%s\n' "${summary[@]}"
if [ "$found" = 1 ]; then
  echo "A target failed; its input is kept in $work (replay: build-fuzz/tests/fuzz/fuzz_<target> <input>)." >&2
  exit 1
fi
rm -rf "$work"
