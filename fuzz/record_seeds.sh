#!/usr/bin/env bash
# fuzz/record_seeds.sh [BUILD_DIR]: records the messages the farm simulator
# sends to the client during a short run (login, sync, a job uploaded,
# rendered and downloaded) and writes each distinct one as a seed of
# fuzz_message (fuzz/corpus/fuzz_message/recorded_<action>_<n>.json).
# BUILD_DIR (default build/) holds bin/farmsim, bin/kitehost and
# plugins/. The client logs every received message at log level 5; the seeds
# are taken from that log. Everything else goes to a temporary folder.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
OUT="$ROOT/fuzz/corpus/fuzz_message"

export QT_QPA_PLATFORM=offscreen
export QT_LOGGING_RULES="kite.*.debug=false"
export ASAN_OPTIONS="detect_leaks=0"
WORK="$(mktemp -d -t kite-record.XXXXXX)"
SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
    [ -n "${KEEP_WORK:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
mkdir -p "$WORK/app" "$WORK/projects/fuzzer" "$WORK/farm"

cat > "$WORK/accounts.json" <<'JSON'
{"accounts": [{"user": "fuzzer", "password": "fuzz-password", "renderpoints": 50.0, "isTrial": false,
  "login": {"customFtpPass": "transfer-secret", "enableTeams": true, "maxRunningDownloads": 2,
            "maxRunningUploads": 2, "textureCacheEnabled": true,
            "teams": [{"id": "7", "name": "Studio North", "approxrp": "0.0", "rp_available": "480.0", "active": true}]}}]}
JSON

# One job as an exporter writes it: scene package, texture and cfg.
printf 'scene package of recorded\n' > "$WORK/projects/fuzzer/recorded"
mkdir -p "$WORK/projects/fuzzer/tex"
printf 'texture bytes' > "$WORK/projects/fuzzer/tex/wood.png"
printf 'renderer=V-Ray\r\nprogram=3dsmax\r\nprio=1\r\n[files]\r\npaths=2\r\npath0=recorded\r\npathlocal0=%s\r\npathsize0=26\r\npath1=tex/wood.png\r\npathlocal1=%s\r\npathsize1=13\r\n' \
    "$WORK/projects/fuzzer/recorded" "$WORK/projects/fuzzer/tex/wood.png" > "$WORK/projects/fuzzer/recorded.cfg"

"$BUILD/bin/farmsim" --listen 127.0.0.1:0 --accounts "$WORK/accounts.json" --storage "$WORK/farm" \
    --pace-ms 200 --frames 2 > "$WORK/farmsim.out" 2> "$WORK/farmsim.err" &
SIM_PID=$!
URL=""
for _ in $(seq 1 100); do
    URL="$(sed -n 's/^listening on //p' "$WORK/farmsim.out" | head -n1)"
    [ -n "$URL" ] && break
    sleep 0.1
done
[ -n "$URL" ] || { echo "the farm simulator did not start" >&2; cat "$WORK/farmsim.err" >&2; exit 1; }

cat > "$WORK/app/settings.ini" <<INI
[UserData]
username=fuzzer
firstRunDone=true

[PathOptions]
localProjectsFolder=$WORK/projects

[Network]
serverWss=$URL
serverWssTemplate=$URL/%1

[Settings]
logLevel=5
INI
KITE_PASSWORD=fuzz-password "$BUILD/bin/kitehost" --app-dir "$WORK/app" --plugin-dir "$BUILD/plugins" \
    --farm-storage "$WORK/farm" --exit-after 40 > "$WORK/host.out" 2>&1 &
HOST_PID=$!
# As an exporter does after writing a job: the marker wakes the folder watch.
for _ in 1 2 3 4 5 6 7 8; do
    sleep 4
    touch "$WORK/projects/di2_orv_refresh.txt"
done
wait "$HOST_PID" || true

mkdir -p "$OUT"
python3 - "$WORK/app" "$OUT" <<'PY'
import glob, json, os, sys
app, out = sys.argv[1], sys.argv[2]
marker = "onTextMessageReceived:"
seen, counts = set(), {}
for log in sorted(glob.glob(os.path.join(app, "logFile.log*")), reverse=True):
    for line in open(log, encoding="utf-8", errors="replace"):
        at = line.find(marker)
        if at < 0:
            continue
        text = line[at + len(marker):].rstrip("\r\n")
        try:
            action = json.loads(text).get("action", "none")
        except ValueError:
            continue
        if text in seen:
            continue
        seen.add(text)
        n = counts.get(action, 0)
        counts[action] = n + 1
        if n >= 3:
            continue
        with open(os.path.join(out, "recorded_%s_%d.json" % (action, n)), "w", encoding="utf-8") as f:
            f.write(text)
print("recorded %d messages: %s" % (len(seen), ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
PY
