#!/usr/bin/env bash
# The Windows build, made and checked on this Debian machine:
#   1. installs what is missing (MinGW-w64, Wine, the tools that unpack
#      Debian's source packages; as root, otherwise it names them);
#   2. builds Qt 5.15 (qtbase, Qt WebSockets) and OpenSSL for Windows x86-64
#      from Debian's source packages, once, into a cache outside the checkout
#      keyed by the Qt version (KITE_WINDOWS_CACHE, default ~/.cache/kite-windows);
#   3. cross-compiles the plug-in DLL, kitehost.exe, farmsim.exe, the stand-in
#      programs and every test program from the project's CMake files into
#      build-windows/, with the DLLs they need beside them;
#   4. runs the suite and the demo under Wine, and prints a summary last.
#
# scripts/windows.sh [--cache-only] [--no-tests] [--no-demo] [CTEST_REGEX]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cache_only=0
run_tests=1
run_demo=1
test_regex=""
for arg in "$@"; do
    case "$arg" in
    --cache-only) cache_only=1 ;;
    --no-tests) run_tests=0 ;;
    --no-demo) run_demo=0 ;;
    -h|--help) sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option: $arg" >&2; exit 2 ;;
    *) test_regex="$arg" ;;
    esac
done

started=$(date +%s)
kite_ensure_packages "${KITE_PACKAGES[@]}" "${KITE_WINDOWS_PACKAGES[@]}"

KITE_QT_VERSION="$(kite_qt_version)"
CACHE="$(kite_windows_cache)"
QT_WIN="$CACHE/qt"
SSL_WIN="$CACHE/openssl"
mkdir -p "$CACHE"
log() { echo "== $*"; }

# deb-src entries for the suites the machine already uses, so that apt-get
# source reaches Debian's own source packages.
kite_enable_deb_src() {
    if apt-get source --dry-run --only-source qtbase-opensource-src >/dev/null 2>&1; then
        return 0
    fi
    [ "$(id -u)" -eq 0 ] || { echo "apt-get source needs deb-src entries; add them as root" >&2; return 1; }
    local src=/etc/apt/sources.list.d/debian.sources
    if [ -f "$src" ]; then
        sed 's/^Types: deb$/Types: deb-src/' "$src" > /etc/apt/sources.list.d/kite-deb-src.sources
    else
        grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/kite-deb-src.list
    fi
    apt-get update -qq
}

# kite_fetch_source PACKAGE DIR: unpacks Debian's source package (with
# Debian's patches applied) into DIR and prints the folder it made. Tries the
# newest version first; a suite whose source files are not served (404) is
# passed over for the next version the sources list.
kite_fetch_source() {
    local pkg="$1" dir="$2" version
    mkdir -p "$dir"
    for version in $(apt-cache showsrc --only-source "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vr); do
        rm -rf "${dir:?}"/*
        if (cd "$dir" && apt-get source -qq --only-source "$pkg=$version") >> "$CACHE/fetch.log" 2>&1; then
            find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1
            return 0
        fi
    done
    echo "apt-get source $pkg failed (see $CACHE/fetch.log)" >&2
    return 1
}

build_openssl() {
    [ -f "$SSL_WIN/.complete" ] && return 0
    log "OpenSSL for Windows x86-64 from Debian's source package"
    local work="$CACHE/src/openssl"
    rm -rf "$work" "$SSL_WIN"
    local dir
    dir="$(kite_fetch_source openssl "$work")"
    (
        cd "$dir"
        ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
            --prefix="$SSL_WIN" --libdir=lib shared no-tests > "$CACHE/openssl-build.log" 2>&1
        make -j "$KITE_JOBS" build_sw >> "$CACHE/openssl-build.log" 2>&1 \
            || { tail -40 "$CACHE/openssl-build.log" >&2; exit 1; }
        make install_sw >> "$CACHE/openssl-build.log" 2>&1
    )
    basename "$dir" > "$SSL_WIN/.complete"
    rm -rf "$work"
}

build_qtbase() {
    [ -f "$QT_WIN/.qtbase-complete" ] && return 0
    log "qtbase $KITE_QT_VERSION for Windows x86-64 from Debian's source package (about 40 minutes on 2 cores)"
    local work="$CACHE/src/qtbase"
    rm -rf "$work" "$QT_WIN"
    local dir
    dir="$(kite_fetch_source qtbase-opensource-src "$work")"
    case "$(basename "$dir")" in
    *"$KITE_QT_VERSION"*) ;;
    *) echo "the source package is $(basename "$dir"), not Qt $KITE_QT_VERSION" >&2; return 1 ;;
    esac
    (
        cd "$dir"
        # Debian's repack has no wintab.h: without tablet events the Windows
        # platform plug-in builds without it.
        ./configure -prefix "$QT_WIN" -opensource -confirm-license -release -shared \
            -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
            -nomake examples -nomake tests -no-feature-tabletevent \
            -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
            -no-opengl -no-dbus -no-icu -no-sql-sqlite -no-sql-odbc \
            -openssl-runtime OPENSSL_INCDIR="$SSL_WIN/include" \
            > "$CACHE/qtbase-configure.log" 2>&1 \
            || { tail -40 "$CACHE/qtbase-configure.log" >&2; exit 1; }
        make -j "$KITE_JOBS" > "$CACHE/qtbase-build.log" 2>&1 \
            || { grep -B5 -A5 -m5 'Error' "$CACHE/qtbase-build.log" | tail -60 >&2; exit 1; }
        make install > /dev/null
    )
    touch "$QT_WIN/.qtbase-complete"
    rm -rf "$work"
}

build_qtwebsockets() {
    [ -f "$QT_WIN/.complete" ] && return 0
    local work="$CACHE/src/qtwebsockets" dir
    rm -rf "$work"
    if dir="$(kite_fetch_source qtwebsockets-opensource-src "$work")"; then
        log "Qt WebSockets from Debian's source package"
    else
        # The package's files cannot be fetched here: the unchanged upstream
        # source of the same version, kept beside the project.
        local tarball="$KITE_ROOT/../shared/third_party/qtwebsockets-everywhere-src-$KITE_QT_VERSION.tar.xz"
        [ -f "$tarball" ] || { echo "apt-get source qtwebsockets-opensource-src failed and $tarball is missing" >&2; return 1; }
        log "Qt WebSockets: apt-get source cannot fetch qtwebsockets-opensource-src; using the upstream source $(basename "$tarball")"
        mkdir -p "$work"
        tar -xJf "$tarball" -C "$work"
        dir="$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n1)"
    fi
    (
        cd "$dir"
        "$QT_WIN/bin/qmake" > "$CACHE/qtwebsockets-build.log" 2>&1
        make -j "$KITE_JOBS" >> "$CACHE/qtwebsockets-build.log" 2>&1 \
            || { tail -40 "$CACHE/qtwebsockets-build.log" >&2; exit 1; }
        make install > /dev/null
    )
    echo "$KITE_QT_VERSION" > "$QT_WIN/.complete"
    rm -rf "$work"
}

if [ ! -f "$QT_WIN/.complete" ] || [ ! -f "$SSL_WIN/.complete" ]; then
    kite_enable_deb_src
    build_openssl
    build_qtbase
    build_qtwebsockets
    rm -rf "$CACHE/src"
    log "Qt and OpenSSL for Windows cached in $CACHE ($(( $(date +%s) - started )) s)"
fi
[ "$cache_only" -eq 1 ] && exit 0

BUILD="$KITE_ROOT/build-windows"
BIN="$BUILD/bin"
export WINEPREFIX="$CACHE/wine" WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: nothing here needs them, and they would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The Qt, OpenSSL and MinGW runtime DLLs beside the programs; the Windows
# platform plug-in, the styles and the icon reader in their plug-in folders.
deploy_runtime() {
    local dll sub
    for dll in Qt5Core Qt5Gui Qt5Widgets Qt5Network Qt5WebSockets Qt5Test; do
        cp -u "$QT_WIN/bin/$dll.dll" "$BIN/"
    done
    for sub in platforms/qwindows styles/qwindowsvistastyle imageformats/qico; do
        if [ -f "$QT_WIN/plugins/$sub.dll" ]; then
            mkdir -p "$BIN/$(dirname "$sub")"
            cp -u "$QT_WIN/plugins/$sub.dll" "$BIN/$sub.dll"
        fi
    done
    cp -u "$SSL_WIN"/bin/lib{ssl,crypto}-3-x64.dll "$BIN/"
    for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
        cp -u "$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")" "$BIN/"
    done
}

build_project() {
    log "cross-compiling the plug-in, the programs and the tests into build-windows/"
    local linguist
    linguist="$(dirname "$(dpkg -L qttools5-dev | grep '/Qt5LinguistToolsConfig.cmake$' | head -n1)")"
    cmake -S "$KITE_ROOT" -B "$BUILD" \
        -DCMAKE_TOOLCHAIN_FILE="$KITE_ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DQt5_DIR="$QT_WIN/lib/cmake/Qt5" -DQt5LinguistTools_DIR="$linguist" \
        -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=ON -DKITE_BUILD_BENCH=OFF >/dev/null
    cmake --build "$BUILD" -j "$KITE_JOBS"
    deploy_runtime
}

# A Wine prefix of our own, made once: Wine's null display driver (the
# programs need no X server), and Qt's test log and debug output on the
# standard streams rather than the debugger (Wine passes no QT_* variable of
# this machine's environment to the programs; the prefix's own environment
# holds it).
prepare_wine() {
    if [ ! -f "$WINEPREFIX/.kite-prefix-2" ]; then
        log "a Wine prefix for the programs ($WINEPREFIX)"
        wineboot --init >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
        wine reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.kite-prefix-2"
    fi
    # One Wine server for the whole run, with Wine's own service processes
    # started here: started by a test, they would keep its output open and
    # CTest would wait for them. The server of this prefix ends with the script.
    wineserver -p 2>/dev/null || true # (one may run already)
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wine cmd /c exit </dev/null >/dev/null 2>&1
}

tests_summary=""
tests_ok=1
run_tests() {
    log "the suite under Wine"
    local out="$BUILD/ctest-wine.log"
    local args=(--timeout 600 -j "$KITE_JOBS" -V)
    [ -n "$test_regex" ] && args+=(-R "$test_regex")
    (cd "$BUILD" && ctest "${args[@]}") > "$out" 2>&1 || tests_ok=0
    # ctest's verdict per program, then QtTest's totals over every case.
    grep -E '^[0-9]+/[0-9]+ Test +#' "$out" | sed 's/^/  /'
    grep -E '^ *[0-9]+: (SKIP|FAIL!)' -A2 "$out" | grep -vE '^ *[0-9]+: +Loc:' | sed 's/^ *[0-9]*: /  /' || true
    tests_summary="$(awk '/Totals: / { for (i = 1; i <= NF; i++) { if ($(i+1) ~ /^passed/) p += $i; if ($(i+1) ~ /^failed/) f += $i; if ($(i+1) ~ /^skipped/) s += $i } }
        END { printf "%d passed, %d failed, %d skipped", p, f, s }' "$out")"
    grep -E 'tests passed|tests failed' "$out" | tail -n1 | sed 's/^/  ctest: /'
    [ "$tests_ok" -eq 1 ] || tail -n 60 "$out" | sed 's/^/  /'
}

demo_ok=1
run_demo() {
    log "the demo under Wine"
    bash "$KITE_ROOT/scripts/demo.sh" --windows || demo_ok=0
}

build_project
prepare_wine
[ "$run_tests" -eq 1 ] && run_tests
[ "$run_demo" -eq 1 ] && run_demo

dll="$KITE_ROOT/build-windows/plugins/PluginNetConnection.dll"
echo
echo "== Windows build: summary"
echo "Qt $KITE_QT_VERSION and $(cat "$SSL_WIN/.complete") for Windows from $CACHE"
echo "PluginNetConnection.dll: $(stat -c %s "$dll") bytes; imports:" \
    "$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')"
[ "$run_tests" -eq 1 ] && echo "suite under Wine: $([ "$tests_ok" -eq 1 ] && echo passed || echo FAILED)"
[ "$run_demo" -eq 1 ] && echo "demo under Wine: $([ "$demo_ok" -eq 1 ] && echo "frames identical" || echo FAILED)"
echo "time: $(( $(date +%s) - started )) s"
[ "$run_tests" -eq 1 ] && echo "windows: $tests_summary"
[ "$tests_ok" -eq 1 ] && [ "$demo_ok" -eq 1 ]
