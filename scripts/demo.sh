#!/usr/bin/env bash
# The main job: builds what is missing, then runs the client end to end on
# this machine. Everything it writes goes to a temporary folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

kite_ensure_packages "${KITE_PACKAGES[@]}"
kite_build "$KITE_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=OFF

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
HOST="$KITE_ROOT/build/bin/kitehost"
WORK="$(mktemp -d -t kite-demo.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT

echo "== The host finds the plug-in by its interface identifier"
"$HOST" --probe

echo
echo "== The host runs the plug-in with its own application directory ($WORK/app)"
mkdir -p "$WORK/app" "$WORK/projects"
cat > "$WORK/app/settings.ini" <<INI
[PathOptions]
localProjectsFolder=$WORK/projects

[Settings]
logLevel=4
INI
"$HOST" --app-dir "$WORK/app" --exit-after 2

echo
echo "== The shared log the plug-in wrote"
cat "$WORK/app/logFile.log"
