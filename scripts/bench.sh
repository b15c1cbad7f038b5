#!/usr/bin/env bash
# Builds the benchmarks in a Release tree of their own and runs every one of
# them (the bench_* programs that bench/CMakeLists.txt defines). Each prints its
# figures as ratios against a baseline measured in the same run and exits
# non-zero when it misses its bound; this script then exits non-zero too,
# after running the others.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kite_ensure_packages "${KITE_PACKAGES[@]}" || exit 1

mapfile -t targets < <(sed -n 's/^add_executable(\(bench_[A-Za-z0-9_]*\).*/\1/p' "$KITE_ROOT/bench/CMakeLists.txt")
if [ "${#targets[@]}" -eq 0 ]; then
    echo "no benchmarks found in bench/CMakeLists.txt" >&2
    exit 1
fi

BENCH_DIR="$KITE_ROOT/build-bench"
if [ ! -f "$BENCH_DIR/CMakeCache.txt" ]; then
    cmake -S "$KITE_ROOT" -B "$BENCH_DIR" -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_BENCH=ON \
        || exit 1
fi
cmake --build "$BENCH_DIR" -j "$KITE_JOBS" --target "${targets[@]}" || exit 1

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

failed=0
for target in "${targets[@]}"; do
    echo "=== $target"
    if ! "$BENCH_DIR/bin/$target"; then
        echo "=== $target: FAILED" >&2
        failed=1
    fi
done
exit "$failed"
