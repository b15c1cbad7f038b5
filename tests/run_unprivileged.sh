#!/bin/sh
# Runs a test program as the unprivileged user "nobody" when started by root
# (root writes into read-only folders, so permission faults need another
# user), with a home and runtime folder of its own; otherwise runs it as it is.
set -u
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1 && id nobody >/dev/null 2>&1; then
    as_nobody() { setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups -- "$@"; }
    # A build tree below a private folder (mktemp -d makes them 0700) is out
    # of the user's reach: then the program runs as root, where the case
    # says it skips.
    if ! as_nobody test -x "$1"; then
        echo "run_unprivileged: $1 is out of reach of the user nobody; running it as root" >&2
        exec "$@"
    fi
    home="$(mktemp -d)"
    chown nobody "$home"
    status=0
    HOME="$home" XDG_RUNTIME_DIR="$home" \
        as_nobody "$@" || status=$?
    rm -rf "$home"
    exit "$status"
fi
exec "$@"
