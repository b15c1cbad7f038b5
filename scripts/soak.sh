#!/usr/bin/env bash
# The soak run: builds the soak program (RelWithDebInfo, tests on, in
# build-soak/) and runs it: 200 jobs through upload, rendering and download
# against the in-process farm simulator, which drops the connection every few
# seconds. Exits non-zero on any failed check or when the run takes longer
# than 10 minutes. Extra arguments go to the program (--jobs N, --seed N,
# --max-seconds S).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kite_ensure_packages "${KITE_PACKAGES[@]}"

dir="$KITE_ROOT/build-soak"
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$KITE_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=ON -DKITE_BUILD_BENCH=OFF
fi
cmake --build "$dir" --target kite_soak -j "$KITE_JOBS"

export QT_QPA_PLATFORM=offscreen
exec timeout 660 "$dir/bin/kite_soak" --jobs 200 --max-seconds 600 "$@"
