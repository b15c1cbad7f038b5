#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS]: builds the libFuzzer targets (clang,
# AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz/ and runs each
# target for SECONDS (default 60) on a copy of its seed corpus. Prints the
# number of executions per target. Exits non-zero on any crash, hang, leak or
# sanitizer report; the inputs that caused them are kept in
# build-fuzz/findings/<target>/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

RUN_SECONDS="${1:-60}"
if ! [[ "$RUN_SECONDS" =~ ^[0-9]+$ ]] || [ "$RUN_SECONDS" -lt 1 ]; then
    echo "usage: scripts/fuzz.sh [SECONDS]" >&2
    exit 2
fi

kite_ensure_packages "${KITE_PACKAGES[@]}" "${KITE_FUZZ_PACKAGES[@]}"

TARGETS=(fuzz_message fuzz_cfg fuzz_filelist fuzz_settings)
BUILD="$KITE_ROOT/build-fuzz"

# A tree of its own: clang, the project instrumented for libFuzzer. Only the
# fuzz targets and what they link are built.
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$KITE_ROOT" -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
        -DKITE_FUZZ=ON -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_BENCH=OFF
fi
cmake --build "$BUILD" -j "$KITE_JOBS" --target "${TARGETS[@]}"

# The targets write many small files; on a memory file system, where syncing
# a file costs nothing, they run several times faster.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    WORK="$(mktemp -d -p /dev/shm kite-fuzz.XXXXXX)"
else
    WORK="$(mktemp -d -t kite-fuzz.XXXXXX)"
fi
trap 'rm -rf "$WORK"' EXIT

# The same sanitizer settings as the test build; leaks count as findings.
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$KITE_ROOT/tests/sanitizers/ubsan.supp"
export LSAN_OPTIONS="suppressions=$KITE_ROOT/tests/sanitizers/lsan.supp:print_suppressions=0"
export XDG_RUNTIME_DIR="$WORK/runtime"
export HOME="$WORK/home"
export TMPDIR="$WORK/tmp"
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
mkdir -p "$HOME" "$TMPDIR"

# The targets feed hostile input to code that writes and deletes files. Run by
# root, they run as an unprivileged user that can write nothing but $WORK.
RUN_AS=()
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1 && id nobody >/dev/null 2>&1; then
    RUN_AS=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups --)
fi
# A tree that user cannot reach (below a private folder, as mktemp -d makes
# them): the targets, their libraries and the sanitizer and dictionary files
# are copied into $WORK, which is theirs.
BIN="$BUILD/bin"
DICTS="$KITE_ROOT/fuzz/dict"
if [ "${#RUN_AS[@]}" -gt 0 ] && ! "${RUN_AS[@]}" test -x "$BIN/${TARGETS[0]}"; then
    stage="$WORK/stage"
    mkdir -p "$stage/bin" "$stage/dict" "$stage/sanitizers"
    for target in "${TARGETS[@]}"; do cp "$BIN/$target" "$stage/bin/"; done
    cp -R "$BUILD/lib" "$stage/lib"
    cp "$KITE_ROOT"/tests/sanitizers/*.supp "$stage/sanitizers/"
    cp -R "$DICTS/." "$stage/dict/" 2>/dev/null || true
    export LD_LIBRARY_PATH="$stage/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$stage/sanitizers/ubsan.supp"
    export LSAN_OPTIONS="suppressions=$stage/sanitizers/lsan.supp:print_suppressions=0"
    BIN="$stage/bin"
    DICTS="$stage/dict"
fi

failed=0
summary=()
for target in "${TARGETS[@]}"; do
    dir="$WORK/$target"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    # A copy: new inputs go there, never into the committed corpus.
    cp -R "$KITE_ROOT/fuzz/corpus/$target/." "$dir/corpus/"
    dict=()
    if [ -f "$DICTS/$target.dict" ]; then
        dict=("-dict=$DICTS/$target.dict")
    fi
    if [ "${#RUN_AS[@]}" -gt 0 ]; then
        chown -R "$(id -u nobody):$(id -g nobody)" "$WORK"
    fi

    echo "== $target: ${RUN_SECONDS} s"
    status=0
    (cd "$dir" && "${RUN_AS[@]}" "$BIN/$target" "$dir/corpus" \
        -max_total_time="$RUN_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$dir/artifacts/" "${dict[@]}") >"$dir/log" 2>&1 || status=$?

    executions="$(sed -n 's/^stat::number_of_executed_units: *\([0-9][0-9]*\).*/\1/p' "$dir/log" | tail -n1)"
    executions="${executions:-?}"
    report=0
    if grep -Eq 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|invariant broken|SUMMARY: ' "$dir/log"; then
        report=1
    fi
    artifacts="$(find "$dir/artifacts" -type f | wc -l)"

    if [ "$status" -ne 0 ] || [ "$report" -ne 0 ] || [ "$artifacts" -ne 0 ]; then
        failed=1
        mkdir -p "$BUILD/findings/$target"
        find "$dir/artifacts" -type f -exec cp {} "$BUILD/findings/$target/" \;
        cp "$dir/log" "$BUILD/findings/$target/$target.log"
        echo "-- $target: FINDING after $executions executions (exit status $status)"
        if grep -Eq 'ERROR: |runtime error:|invariant broken|ALARM|out-of-memory' "$dir/log"; then
            grep -E -A40 'ERROR: |runtime error:|invariant broken|ALARM|out-of-memory' "$dir/log" | head -n 80
        else
            tail -n 40 "$dir/log"
        fi
        echo "-- inputs and log kept in build-fuzz/findings/$target/"
        summary+=("$target: $executions executions, FINDING")
    else
        corpus_size="$(find "$dir/corpus" -type f | wc -l)"
        echo "-- $target: $executions executions, no finding (corpus $corpus_size inputs)"
        summary+=("$target: $executions executions, no finding")
    fi
done

echo
echo "== Fuzzing, ${RUN_SECONDS} s per target"
printf '%s\n' "${summary[@]}"
exit "$failed"
