# Shared by scripts/test.sh and scripts/demo.sh, which source it:
#   qv_prepare BUILD_DIR [CMAKE_ARGS...]   installs the Debian packages that are missing (as
#                                          root) and configures the project in BUILD_DIR
#   qv_build BUILD_DIR [TARGET...]         builds the targets there, or everything
# BUILD_DIR is relative to the top folder.

qv_prepare() {
  local build=$1
  shift
  local top
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  local packages=(cmake ninja-build g++ libgtest-dev libdw-dev libboost1.81-dev iproute2 nftables util-linux)
  local missing=() p
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
  cmake -S "$top" -B "$top/$build" -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
}

qv_build() {
  local build=$1
  shift
  local top targets=() t
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  for t in "$@"; do targets+=(--target "$t"); done
  cmake --build "$top/$build" --parallel "$(nproc)" "${targets[@]}"
}
