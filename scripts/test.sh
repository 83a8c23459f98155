#!/usr/bin/env bash
# The one test command: installs what is missing, builds, and runs every test with ctest
# inside a private network namespace.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/
#   scripts/test.sh --windows   the Windows build (MinGW-w64) in build-windows/, its test
#                               programs run under Wine, each once; the tests that cannot pass
#                               under Wine are named in tests/wine-skips.txt and skipped
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

build=build
cmake_args=()
windows=no
case "${1:-}" in
  "") ;;
  --sanitize)
    build=build-sanitize
    cmake_args+=(-DQV_SANITIZE=ON)
    ;;
  --windows)
    build=build-windows
    windows=yes
    ;;
  *)
    echo "usage: $0 [--sanitize | --windows]" >&2
    exit 2
    ;;
esac

# shellcheck source=scripts/prepare.sh
. "$top/scripts/prepare.sh"
if [ "$windows" = yes ]; then
  qv_prepare_windows "$build"
  qv_build "$build"
  skips=()
  echo "Skipped under Wine (tests/wine-skips.txt):"
  while read -r name reason; do
    case "$name" in "" | "#"*) continue ;; esac
    printf '  %s: %s\n' "$name" "$reason"
    skips+=("$name")
  done < "$top/tests/wine-skips.txt"
  GTEST_FILTER="-$(IFS=:; echo "${skips[*]}")"
  export GTEST_FILTER
  cd "$build"
  exec "$top/scripts/netns-run" "$top/scripts/wine-run" . \
    ctest --output-on-failure --parallel "$(nproc)" --timeout 400
fi
qv_prepare "$build" "${cmake_args[@]}"
qv_build "$build"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
exec "$top/scripts/netns-run" ctest --output-on-failure --parallel "$(nproc)" --timeout 300
