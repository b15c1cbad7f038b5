#!/usr/bin/env bash
# The main job: builds what is missing, then runs the client end to end on this
# machine. The farm simulator listens on loopback; the reference host loads the
# plug-in, logs in, and its stand-in transfer plug-ins move the files. A scene
# exporter's job is written into the projects folder and goes through upload,
# queue, rendering and download until its frames are in its output folder.
# Everything it writes goes to a temporary folder.
#
# scripts/demo.sh --windows runs the same job with the Windows build
# (build-windows/, made by scripts/windows.sh) under Wine: the host, its
# plug-in DLL and the farm simulator are the .exe programs, and the same checks
# hold.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

windows=0
[ "${1:-}" = "--windows" ] && windows=1

if [ "$windows" -eq 1 ]; then
    [ -f "$KITE_ROOT/build-windows/bin/kitehost.exe" ] || { echo "no Windows build: run scripts/windows.sh" >&2; exit 1; }
    HOST=(wine "$KITE_ROOT/build-windows/bin/kitehost.exe")
    FARMSIM=(wine "$KITE_ROOT/build-windows/bin/farmsim.exe")
    export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-windows}"
    # Qt's debug output to the standard streams, not to a debugger.
    export QT_FORCE_STDERR_LOGGING=1
else
    kite_ensure_packages "${KITE_PACKAGES[@]}"
    # The plain build (scripts/test.sh adds its tests); the demo needs the
    # programs and the plug-in.
    [ -f "$KITE_ROOT/build/CMakeCache.txt" ] || kite_configure "$KITE_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=OFF
    cmake --build "$KITE_ROOT/build" -j "$KITE_JOBS" --target kitehost farmsim PluginNetConnection
    HOST=("$KITE_ROOT/build/bin/kitehost")
    FARMSIM=("$KITE_ROOT/build/bin/farmsim")
    export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
fi
# A path of this machine as the programs see it (under Wine: on drive Z:), and
# back; the programs' output lines lose the "\r" Windows ends them with.
native() { if [ "$windows" -eq 1 ]; then echo "Z:$1"; else echo "$1"; fi; }
local_path() { sed 's|^[Zz]:||; s|\\|/|g'; }

# The host prints what happens; the components' debug output stays off unless asked for.
export QT_LOGGING_RULES="${QT_LOGGING_RULES:-kite.*.debug=false}"
# Under Wine the demo's folder lies in the build tree (a folder of the
# temporary directory went missing there twice, cause not found).
if [ "$windows" -eq 1 ]; then
    WORK="$(mktemp -d -p "$KITE_ROOT/build-windows" kite-demo.XXXXXX)"
else
    WORK="$(mktemp -d -t kite-demo.XXXXXX)"
fi
SIM_PID=""
HOST_PID=""
cleanup() {
    # Only the processes this script started.
    for pid in "$HOST_PID" "$SIM_PID"; do
        if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"

echo "== The host finds the plug-in by its interface identifier"
"${HOST[@]}" --probe | tr -d '\r'

echo
echo "== The farm simulator listens on loopback"
APP="$WORK/app"
PROJECTS="$WORK/projects"
FARM="$WORK/farm"
mkdir -p "$APP" "$PROJECTS/demo/tex" "$FARM"
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
        "maxRunningDownloads": 2,
        "maxRunningUploads": 2,
        "teams": [
          {"id": "7", "name": "Studio North", "approxrp": "0.0", "rp_available": "480.0", "active": true},
          {"id": "9", "name": "Night Shift", "approxrp": "55.5", "rp_available": "60.0", "active": true, "trial": true}
        ]
      }
    }
  ]
}
JSON
# A background command opens its redirections in the child, perhaps after the
# loop below first reads them: the files are there before it starts.
: > "$WORK/farmsim.out"
: > "$WORK/farmsim.err"
"${FARMSIM[@]}" --listen 127.0.0.1:0 --accounts "$(native "$WORK/accounts.json")" --storage "$(native "$FARM")" \
    --pace-ms 700 --frames 5 > "$WORK/farmsim.out" 2> "$WORK/farmsim.err" &
SIM_PID=$!
URL=""
for _ in $(seq 1 100); do
    URL="$(tr -d '\r' < "$WORK/farmsim.out" | sed -n 's/^listening on //p' | head -n1)"
    [ -n "$URL" ] && break
    sleep 0.1
done
if [ -z "$URL" ]; then
    echo "the farm simulator did not start:" >&2
    cat "$WORK/farmsim.err" >&2
    exit 1
fi
echo "farmsim: listening on $URL, storage $FARM"

echo
echo "== A scene exporter writes a job into the projects folder"
# Scene package, preview and two textures, listed in the job's cfg.
head -c 4000000 /dev/urandom > "$PROJECTS/demo/demo_scene"
head -c 20000 /dev/urandom > "$PROJECTS/demo/demo_scene.jpg"
head -c 150000 /dev/urandom > "$PROJECTS/demo/tex/wood.png"
head -c 90000 /dev/urandom > "$PROJECTS/demo/tex/metal.png"
size() { stat -c %s "$1"; }
printf '%s\r\n' \
    "renderer=vray" \
    "program=max" \
    "autostart=1" \
    "prio=1" \
    "[files]" \
    "paths=2" \
    "path0=tex/wood.png" \
    "pathlocal0=$(native "$PROJECTS/demo/tex/wood.png")" \
    "pathsize0=$(size "$PROJECTS/demo/tex/wood.png")" \
    "path1=tex/metal.png" \
    "pathlocal1=$(native "$PROJECTS/demo/tex/metal.png")" \
    "pathsize1=$(size "$PROJECTS/demo/tex/metal.png")" \
    > "$PROJECTS/demo/demo_scene.cfg"
ls -l "$PROJECTS/demo" "$PROJECTS/demo/tex" | sed 's/^/  /'

cat > "$APP/settings.ini" <<INI
[UserData]
username=demo
firstRunDone=true

[PathOptions]
localProjectsFolder=$(native "$PROJECTS")

[Network]
serverWss=$URL
serverWssTemplate=$URL/%1

[Settings]
logLevel=2
INI

echo
echo "== The host logs in as 'demo'; the job goes through upload, rendering and download"
# The host reads commands on its standard input, as a person's clicks in the
# tray; the demo gives them through a pipe.
mkfifo "$WORK/commands"
# The host runs in its application folder, as the tray application does: the
# script host finds the shortcut script there.
cp "$KITE_ROOT/host/createKiteLink.vbs" "$APP/"
: > "$WORK/host.out"
(cd "$APP" && exec env KITE_PASSWORD=demo-password "${HOST[@]}" --app-dir "$(native "$APP")" \
    --farm-storage "$(native "$FARM")" --no-desktop --upload-pace-ms 60 --download-pace-ms 40 \
    --menu-snapshot "$(native "$WORK/jobmenu.png")" \
    < "$WORK/commands" > >(sed -u 's/\r$//' > "$WORK/host.out") 2>&1) &
HOST_PID=$!
exec 3> "$WORK/commands"
send() {
    echo "> $1"
    echo "$1" >&3
}
touch "$PROJECTS/di2_orv_refresh.txt"

shown=0
done_ok=0
phase=upload
paused_at=0
for _ in $(seq 1 1200); do
    # Show the host's lines as they come: login, status lines, transfers,
    # answers to commands.
    total=$(wc -l < "$WORK/host.out")
    if [ "$total" -gt "$shown" ]; then
        sed -n "$((shown + 1)),${total}p" "$WORK/host.out" \
            | grep -E '^(kitehost|job:|notification|uploader: .*(from byte|stopped)|ok |error: |signal (loginSuccess|UploadJob|downloadJob))' || true
        shown=$total
    fi
    # Pause the upload of the scene package midway, then go on with it.
    on_farm=$(stat -c %s "$FARM/upload/demo/demo_scene" 2>/dev/null || echo 0)
    case "$phase" in
    upload)
        if [ "$on_farm" -ge 1000000 ]; then
            send 'action demo_scene "Pause upload"'
            phase=paused
        fi
        ;;
    paused)
        if grep -q '^uploader: demo_scene: stopped' "$WORK/host.out"; then
            paused_at=$(stat -c %s "$FARM/upload/demo/demo_scene")
            echo "  the farm holds $paused_at of $(size "$PROJECTS/demo/demo_scene") bytes of demo_scene"
            send 'jobs'
            send 'action demo_scene "Pause upload"'
            phase=resumed
        fi
        ;;
    esac
    if grep -q 'DOWNLOADED (100%)' "$WORK/host.out"; then
        done_ok=1
        break
    fi
    if ! kill -0 "$HOST_PID" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ "$done_ok" -ne 1 ]; then
    echo "the job did not finish; the host said:" >&2
    tail -40 "$WORK/host.out" >&2
    exit 1
fi
if ! grep -q "^uploader: demo_scene: demo_scene from byte $paused_at\$" "$WORK/host.out"; then
    echo "the upload did not go on from byte $paused_at" >&2
    exit 1
fi
LINK="$PROJECTS/demo/OrvelKite/Download/demo_scene.lnk"
if [ "$windows" -eq 1 ]; then
    # The script host rewrites the shortcut with the finished job's icon.
    for _ in $(seq 1 300); do
        strings -el "$LINK" 2>/dev/null | grep -q 'orvelfoldericon_finished.ico' && break
        sleep 0.1
    done
fi
send 'jobs'
send 'quit'
exec 3>&-
wait "$HOST_PID" || true
HOST_PID=""
sed -n "$((shown + 1)),\$p" "$WORK/host.out" | grep -E '^(kitehost|job:|notification|ok |error: )' || true

echo
echo "== The job's files on the farm equal the local ones"
for f in demo_scene demo_scene.jpg tex/wood.png tex/metal.png; do
    cmp "$PROJECTS/demo/$f" "$FARM/upload/demo/$f"
    echo "  $f: $(size "$FARM/upload/demo/$f") bytes, identical"
done
# The client appends status lines to its cfg after the upload; the farm holds
# the cfg as it was sent.
sent=$(size "$FARM/upload/demo/demo_scene.cfg")
cmp -n "$sent" "$PROJECTS/demo/demo_scene.cfg" "$FARM/upload/demo/demo_scene.cfg"
echo "  demo_scene.cfg: $sent bytes as sent, identical"


echo
echo "== The rendered frames in the job's output folder equal the farm's"
OUTPUT="$(tr -d '\r' < "$PROJECTS/demo/demo_scene.cfg" | sed -n 's/^downloadpath=//p' | tail -n1 | local_path)"
echo "  output folder: $OUTPUT"
count=0
while IFS= read -r -d '' frame; do
    rel="${frame#"$FARM/output/demo/demo_scene/"}"
    cmp "$frame" "$OUTPUT/$rel"
    echo "  $rel: $(size "$frame") bytes, identical"
    count=$((count + 1))
done < <(find "$FARM/output/demo/demo_scene" -type f -print0 | sort -z)
[ "$count" -gt 0 ]
if find "$OUTPUT" -name '*dlstarted' | grep -q .; then
    echo "unfinished download markers left behind" >&2
    exit 1
fi

echo
echo "== The job's shortcut to its output folder"
if [ "$windows" -eq 1 ]; then
    # A shell link naming the output folder and the finished job's icon.
    link_strings="$( (strings -a "$LINK"; strings -a -el "$LINK") | local_path)"
    echo "$link_strings" | grep -qxF "$OUTPUT" || { echo "the shortcut does not lead to $OUTPUT" >&2; exit 1; }
    echo "$link_strings" | grep -q '/orvelfoldericon_finished.ico$' || { echo "the shortcut has not the finished icon" >&2; exit 1; }
    echo "  OrvelKite/Download/demo_scene.lnk: a shell link to the output folder, icon orvelfoldericon_finished.ico"
else
    [ "$(readlink -f "$LINK")" = "$(readlink -f "$OUTPUT")" ] || { echo "the shortcut does not lead to $OUTPUT" >&2; exit 1; }
    echo "  OrvelKite/Download/demo_scene.lnk -> $(readlink "$LINK")"
fi

echo
echo "== Lines the client appended to the job's cfg"
tr -d '\r' < "$PROJECTS/demo/demo_scene.cfg" | sed -n '/^pathsize1=/,$p' | grep -v '^pathsize1=' | grep -v '^$' | sed 's/^/  /'

echo
echo "== Account files the plug-in wrote into the projects folder"
for f in demo/accounts.txt accounts.txt team_accounts.txt beta.txt; do
    echo "-- $f"
    sed 's/^/  /' "$PROJECTS/$f"
done
if [ -f "$WORK/jobmenu.png" ]; then
    mkdir -p "$KITE_ROOT/build/demo"
    cp "$WORK/jobmenu.png" "$KITE_ROOT/build/demo/jobmenu.png"
    echo
    echo "The job menu as the host showed it last: build/demo/jobmenu.png"
fi
echo
echo "Demo finished: $count frames downloaded."
