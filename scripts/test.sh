#!/usr/bin/env bash
# Builds what is missing and runs every test through CTest twice: in a build
# tree made with AddressSanitizer and UndefinedBehaviorSanitizer (Debug), and
# in the plain optimised build. Exits non-zero on any failure or sanitizer
# report, or when the test code outgrows its share of the code (printed last).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kite_ensure_packages "${KITE_PACKAGES[@]}"

# The plain build is the one the demo, the README and the soak runs use.
kite_build "$KITE_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=ON -DKITE_BUILD_BENCH=OFF

kite_build "$KITE_ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DKITE_SANITIZE=ON

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$KITE_ROOT/tests/sanitizers/ubsan.supp"
export LSAN_OPTIONS="suppressions=$KITE_ROOT/tests/sanitizers/lsan.supp:print_suppressions=0"

echo "=== tests, Debug build with sanitizers (build-asan)"
(cd "$KITE_ROOT/build-asan" && ctest --output-on-failure -j "$KITE_JOBS" --timeout 600)

echo "=== tests, optimised build (build)"
(cd "$KITE_ROOT/build" && env -u ASAN_OPTIONS -u UBSAN_OPTIONS -u LSAN_OPTIONS \
    ctest --output-on-failure -j "$KITE_JOBS" --timeout 600)

# Test code (tests/ and fuzz/) stays at most a third of all code: at most half
# the lines of the product (src/, host/, farmsim/, programcommon/).
kite_lines() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l
}
test_lines=$(cd "$KITE_ROOT" && kite_lines tests fuzz)
product_lines=$(cd "$KITE_ROOT" && kite_lines src host farmsim programcommon)
echo "test code: $test_lines lines (tests/, fuzz/); product code: $product_lines lines;" \
    "share of all code $((100 * test_lines / (test_lines + product_lines)))% (at most 33%)"
if [ $((2 * test_lines)) -gt "$product_lines" ]; then
    echo "test code exceeds half of the product code" >&2
    exit 1
fi
