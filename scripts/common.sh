# Shared by the project's scripts: package checks and the build step.
# Sourced, not run.

KITE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KITE_JOBS="$(nproc 2>/dev/null || echo 2)"

# Debian packages the build, the tests and the demo need.
KITE_PACKAGES=(
    cmake make g++ pkg-config
    qtbase5-dev libqt5websockets5-dev qttools5-dev qttools5-dev-tools rapidjson-dev
    fonts-dejavu-core openssl
)

# Debian packages the fuzz targets need on top (clang and its libFuzzer and
# sanitizer runtimes).
KITE_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# Debian packages the Windows build needs on top (scripts/windows.sh): the
# MinGW-w64 compiler with POSIX threads, Wine, and the tools that fetch and
# unpack Debian's source packages of Qt and OpenSSL.
KITE_WINDOWS_PACKAGES=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 dpkg-dev xz-utils perl python3
)

# The upstream version of Debian's Qt (5.15.8 on Debian 12).
kite_qt_version() {
    dpkg-query -W -f='${Version}' qtbase5-dev 2>/dev/null | sed 's/^[0-9]*://; s/[+~-].*//'
}

# The cache of Qt and OpenSSL built for Windows, outside the checkout, keyed by
# the Qt version; it holds qt/ and openssl/ once scripts/windows.sh made them.
kite_windows_cache() {
    echo "${KITE_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kite-windows}/qt-$(kite_qt_version)-mingw64"
}

kite_missing_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    echo "${missing[@]}"
}

# Installs what is missing when run as root; otherwise names it and fails.
kite_ensure_packages() {
    local missing
    missing="$(kite_missing_packages "$@")"
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing missing packages: $missing"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        # shellcheck disable=SC2086
        apt-get install -y -qq --no-install-recommends $missing
    else
        echo "Missing Debian packages: $missing" >&2
        echo "Install them with: sudo apt-get install $missing" >&2
        return 1
    fi
}

# kite_configure DIR [cmake options...]: configures DIR with the options (an
# existing tree takes them over).
kite_configure() {
    local dir="$1"
    shift
    if [ ! -f "$dir/CMakeCache.txt" ] || [ "$#" -gt 0 ]; then
        cmake -S "$KITE_ROOT" -B "$dir" "$@" >/dev/null
    fi
}

# kite_build DIR [cmake options...]: configures DIR, then builds all of it.
kite_build() {
    kite_configure "$@"
    cmake --build "$1" -j "$KITE_JOBS"
}
