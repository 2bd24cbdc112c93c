#!/bin/sh
# Usage: run-under-wine.sh PREFIX PROGRAM [ARGUMENT...]
#
# Runs a Windows program under Wine in a private prefix, never ~/.wine. The
# prefix is made once, on first use, under a lock so that concurrent first
# runs do not race; making one takes about 15 s and over 1 GB.
set -eu
prefix=$(realpath -m "$1")
shift
export WINEPREFIX="$prefix"
# Wine reaches file names beyond ASCII only under a UTF-8 locale.
export LC_ALL=C.UTF-8
# No Mono or Gecko installer prompts; no debug output unless asked for.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEDEBUG="${WINEDEBUG:--all}"

if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    flock "$prefix.lock" sh -c '
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            WINEDEBUG=-all wineboot --init >/dev/null 2>&1
            wineserver --wait
        fi'
fi
exec wine "$@"
