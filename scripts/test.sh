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

packages=(cmake ninja-build g++ libgtest-dev libdw-dev iproute2 nftables util-linux)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "${cmake_args[@]}"
cmake --build "$build" --parallel "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
exec "$top/scripts/netns-run" ctest --output-on-failure --parallel "$(nproc)" --timeout 300
