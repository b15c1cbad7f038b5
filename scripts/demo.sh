#!/usr/bin/env bash
# The main job: builds what is missing, then runs the client end to end on this
# machine: the farm simulator on loopback and the reference host with the
# plug-in against it. Everything it writes goes to a temporary folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kite_ensure_packages "${KITE_PACKAGES[@]}"
kite_build "$KITE_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=OFF

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
# The host prints what happens; the components' debug output stays off unless asked for.
export QT_LOGGING_RULES="${QT_LOGGING_RULES:-kite.*.debug=false}"
HOST="$KITE_ROOT/build/bin/kitehost"
FARMSIM="$KITE_ROOT/build/bin/farmsim"
WORK="$(mktemp -d -t kite-demo.XXXXXX)"
SIM_PID=""
cleanup() {
    # Only the simulator this script started.
    if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"

echo "== The host finds the plug-in by its interface identifier"
"$HOST" --probe

echo
echo "== The farm simulator listens on loopback"
mkdir -p "$WORK/app" "$WORK/projects/demo" "$WORK/farm"
cat > "$WORK/accounts.json" <<'JSON'
{
  "accounts": [
    {
      "user": "demo",
      "password": "demo-password",
      "renderpoints": 125.5,
      "isTrial": false,
      "login": {
        "customFtpPass": "demo-transfer-secret",
        "enableTeams": true,
        "maxRunningDownloads": 3,
        "maxRunningUploads": 2,
        "textureCacheEnabled": true,
        "teams": [
          {"id": "7", "name": "Studio North", "approxrp": "0.0", "rp_available": "480.0", "active": true},
          {"id": "9", "name": "Night Shift", "approxrp": "55.5", "rp_available": "60.0", "active": true, "trial": true},
          {"id": "11", "name": "Archive", "approxrp": "1.0", "rp_available": "1.0", "active": false}
        ]
      }
    }
  ]
}
JSON
"$FARMSIM" --listen 127.0.0.1:0 --accounts "$WORK/accounts.json" > "$WORK/farmsim.out" 2>"$WORK/farmsim.err" &
SIM_PID=$!
URL=""
for _ in $(seq 1 100); do
    URL="$(sed -n 's/^listening on //p' "$WORK/farmsim.out" | head -n1)"
    [ -n "$URL" ] && break
    sleep 0.1
done
if [ -z "$URL" ]; then
    echo "the farm simulator did not start:" >&2
    cat "$WORK/farmsim.err" >&2
    exit 1
fi
echo "farmsim: listening on $URL"

echo
echo "== The host logs in as 'demo' and runs for a few seconds"
cat > "$WORK/app/settings.ini" <<INI
[UserData]
username=demo
firstRunDone=true

[PathOptions]
localProjectsFolder=$WORK/projects

[Network]
serverWss=$URL
serverWssTemplate=$URL/%1

[Settings]
logLevel=2
INI
KITE_PASSWORD=demo-password "$HOST" --app-dir "$WORK/app" --exit-after 3

echo
echo "== Account files the plug-in wrote into the projects folder"
for f in "$WORK/projects/demo/accounts.txt" "$WORK/projects/accounts.txt" "$WORK/projects/team_accounts.txt" "$WORK/projects/beta.txt"; do
    echo "-- ${f#"$WORK"/}"
    cat "$f"
done

echo
echo "== The shared log (logFile.log)"
cat "$WORK/app/logFile.log"
