#!/bin/sh
# Usage: run-under-wine.sh PREFIX PROGRAM [ARGUMENT...]
#
# Runs a Windows program under Wine in a private prefix, never ~/.wine. The
# loader matches the program: Wine's 32-bit one for a 32-bit executable,
# its 64-bit one for anything else (a 64-bit executable, or Wine's own
# programs such as cmd, which it has in both word sizes). Debian's `wine`
# wrapper would take the 32-bit loader for everything, which a kernel
# without 32-bit support cannot start.
#
# The prefix is made once, on first use, under a lock so that concurrent
# first runs do not race; making one takes about 15 s and over 1 GB.
set -eu
prefix=$(realpath -m "$1")
shift
export WINEPREFIX="$prefix"
# Wine reaches file names beyond ASCII only under a UTF-8 locale.
export LC_ALL=C.UTF-8
# No Mono or Gecko installer prompts; no debug output unless asked for.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEDEBUG="${WINEDEBUG:--all}"

# The machine field of a PE file's header: 4c01 is i386.
machine() {
    header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$header" ] && od -An -tx1 -j$((header + 4)) -N2 "$1" | tr -d ' \n'
}
loader=/usr/lib/wine/wine64
if [ -f "$1" ] && [ "$(machine "$1")" = 4c01 ]; then
    loader=/usr/lib/wine/wine
fi

# Wine's debugger is turned off in it, for 32- and 64-bit programs: a
# program that crashes ends at once with its exception's code, and no
# debugger is left running in the prefix (it could end the program with 0).
if [ ! -f "$prefix/debugger-off" ]; then
    mkdir -p "$(dirname "$prefix")"
    flock "$prefix.lock" sh -c '
        if [ ! -f "$WINEPREFIX/debugger-off" ]; then
            WINEDEBUG=-all /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
            for view in 32 64; do
                WINEDEBUG=-all /usr/lib/wine/wine64 reg add \
                    "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug" \
                    /v Debugger /d "" /f /reg:$view >/dev/null 2>&1 || exit 1
            done
            wineserver --wait
            touch "$WINEPREFIX/debugger-off"
        fi'
fi
exec "$loader" "$@"
