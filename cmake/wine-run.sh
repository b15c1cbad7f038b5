#!/bin/sh
# Runs a Windows program under Wine for CTest, its output passed on through a
# file. Wine's console host, started for a console program that the test then
# ended by force (the tunnel's leftover clients), can outlive the test with
# the test's standard error still open; on a pipe CTest would wait for it
# until the test's time ran out. A file lets the test end when its program
# ends; the script ends the prefix's server, and those hosts with it.
out="$(mktemp "${TMPDIR:-/tmp}/kite-wine-run.XXXXXX")" || exit 1
wine "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit "$status"
