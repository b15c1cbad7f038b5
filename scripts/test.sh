#!/usr/bin/env bash
# Builds what is missing and runs every test through CTest, in a build tree
# made with AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero on
# any failure or sanitizer report.
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

cd "$KITE_ROOT/build-asan"
ctest --output-on-failure -j "$KITE_JOBS" --timeout 600
