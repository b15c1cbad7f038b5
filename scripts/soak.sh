#!/usr/bin/env bash
# The soak runs: builds the soak program (in the plain RelWithDebInfo build,
# build/; with --release in a Release build, build-release/) and runs
# it once per seed: jobs through upload, rendering and download against the
# in-process farm simulator, which drops the connection every few seconds.
#
#   scripts/soak.sh [--release] [--plain-uploader] [-j PARALLEL] [SEED[:JOBS] ...]
#
# Without seeds: seeds 1-10 at 60 jobs and seed 4711 at 200 jobs. Each run
# gets 5 minutes (10 at 200 jobs or more); PARALLEL runs go at once (default
# 2). Prints one line per run (drops, logins, bytes checked) and exits
# non-zero when any run fails or runs out of time. Each run's output is kept in
# <build>/soak-logs/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build_type=RelWithDebInfo
dir="$KITE_ROOT/build"
parallel=2
extra=()
runs=()
while [ $# -gt 0 ]; do
    case "$1" in
    --release) build_type=Release; dir="$KITE_ROOT/build-release" ;;
    --plain-uploader) extra+=(--plain-uploader) ;;
    -j) parallel="$2"; shift ;;
    -h | --help) sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) runs+=("$1") ;;
    esac
    shift
done
if [ "${#runs[@]}" -eq 0 ]; then
    runs=(1:60 2:60 3:60 4:60 5:60 6:60 7:60 8:60 9:60 10:60 4711:200)
fi

kite_ensure_packages "${KITE_PACKAGES[@]}"
kite_configure "$dir" -DCMAKE_BUILD_TYPE="$build_type" -DKITE_BUILD_TESTS=ON -DKITE_BUILD_BENCH=OFF
cmake --build "$dir" --target kite_soak -j "$KITE_JOBS"

export QT_QPA_PLATFORM=offscreen
logs="$dir/soak-logs"
mkdir -p "$logs"

# run SEED JOBS: one soak run, its output in the log folder.
run() {
    local seed="$1" jobs="$2" seconds=300
    [ "$jobs" -ge 200 ] && seconds=600
    timeout $((seconds + 60)) "$dir/bin/kite_soak" --seed "$seed" --jobs "$jobs" --max-seconds "$seconds" \
        "${extra[@]}" >"$logs/seed-$seed-jobs-$jobs.log" 2>&1
}

pids=()
names=()
failed=0
wait_one() {
    local pid="${pids[0]}" name="${names[0]}" log
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
    log="$logs/seed-${name%:*}-jobs-${name#*:}.log"
    if wait "$pid"; then
        grep '^soak: result' "$log" || echo "soak: result $name: no result line"
    else
        failed=1
        grep -E '^soak: (FAIL|result)' "$log" || echo "soak: result $name: FAIL (exit without a result, see $log)"
    fi
}
for seedJobs in "${runs[@]}"; do
    seed="${seedJobs%%:*}"
    jobs=60
    [ "$seedJobs" != "$seed" ] && jobs="${seedJobs#*:}"
    run "$seed" "$jobs" &
    pids+=($!)
    names+=("$seed:$jobs")
    [ "${#pids[@]}" -ge "$parallel" ] && wait_one
done
while [ "${#pids[@]}" -gt 0 ]; do
    wait_one
done
if [ "$failed" -ne 0 ]; then
    echo "soak: FAILED (logs in $logs)"
    exit 1
fi
echo "soak: all ${#runs[@]} runs passed ($build_type)"
