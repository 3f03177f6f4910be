# Shared by scripts/demo and scripts/test: installs what is missing, configures and builds.
# Sourced, not run.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${QUVO_BUILD_DIR:-$root/build}
# The compiler cache is shared by every clone and build directory of these sources.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

# Debian 12 packages needed to build the program (on Qt 5 and Qt 6), package it, and run its
# tests and demo.
packages=(
    qtbase5-dev libqt5websockets5-dev cmake ninja-build g++ ccache
    xvfb xauth fonts-dejavu-core netcat-openbsd openssl libssl3
    qt6-base-dev qt6-websockets-dev qt6-qpa-plugins
    dpkg-dev desktop-file-utils man-db
)
# Only the tests need these: MinGW-w64, which checks that every source compiles for Windows.
test_packages=(g++-mingw-w64-x86-64-posix)

# Installs what is missing of the packages above and of those given.
ensure_packages() {
    local missing=() p
    for p in "${packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
    done
    # A prepared machine (CI) needs no network.
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Missing packages (${missing[*]}) and no sudo to install them." >&2; return 1; }
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

configure_and_build() {
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${QUVO_BUILD_TYPE:-Debug}" &&
        ninja -C "$build_dir" -j "${QUVO_JOBS:-2}"
}
