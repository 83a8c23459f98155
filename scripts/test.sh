#!/usr/bin/env bash
# The one test command: installs what is missing, builds, and runs every test with ctest
# inside a private network namespace.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

build=build
cmake_args=()
case "${1:-}" in
  "") ;;
  --sanitize)
    build=build-sanitize
    cmake_args+=(-DQV_SANITIZE=ON)
    ;;
  *)
    echo "usage: $0 [--sanitize]" >&2
    exit 2
    ;;
esac

# shellcheck source=scripts/prepare.sh
. "$top/scripts/prepare.sh"
qv_prepare "$build" "${cmake_args[@]}"
qv_build "$build"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
exec "$top/scripts/netns-run" ctest --output-on-failure --parallel "$(nproc)" --timeout 300
