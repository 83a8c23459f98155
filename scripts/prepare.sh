# Shared by scripts/test.sh, scripts/demo.sh and scripts/fuzz.sh, which source it:
#   qv_install PACKAGE...                  installs the Debian packages that are missing (as root)
#   qv_prepare BUILD_DIR [CMAKE_ARGS...]   installs the project's packages and configures the
#                                          project in BUILD_DIR
#   qv_prepare_windows BUILD_DIR           the same for the Windows cross build (MinGW-w64, with
#                                          GoogleTest from its Debian source, and Wine to run it)
#   qv_build BUILD_DIR [TARGET...]         builds the targets there, or everything
# BUILD_DIR is relative to the top folder.

qv_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  [ -n "${qv_apt_updated:-}" ] || apt-get update -qq
  qv_apt_updated=1
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

qv_prepare() {
  local build=$1
  shift
  local top
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  qv_install cmake ninja-build g++ libgtest-dev libdw-dev libboost1.81-dev iproute2 nftables util-linux
  cmake -S "$top" -B "$top/$build" -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
}

qv_prepare_windows() {
  local build=$1
  shift
  local top
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  qv_install cmake ninja-build g++-mingw-w64-x86-64-posix googletest libboost1.81-dev wine64 iproute2 nftables util-linux
  cmake -S "$top" -B "$top/$build" -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DQV_GTEST_SOURCE=/usr/src/googletest "$@"
}

qv_build() {
  local build=$1
  shift
  local top targets=() t
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  for t in "$@"; do targets+=(--target "$t"); done
  cmake --build "$top/$build" --parallel "$(nproc)" "${targets[@]}"
}
