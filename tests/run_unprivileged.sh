#!/bin/sh
# Runs a test program as the unprivileged user "nobody" when started by root
# (root writes into read-only folders, so permission faults need another
# user), with a home and runtime folder of its own; otherwise runs it as it is.
set -u
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null 2>&1 && id nobody >/dev/null 2>&1; then
    home="$(mktemp -d)"
    chown nobody "$home"
    status=0
    HOME="$home" XDG_RUNTIME_DIR="$home" \
        setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups -- "$@" || status=$?
    rm -rf "$home"
    exit "$status"
fi
exec "$@"
