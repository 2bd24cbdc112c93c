# Sourced by the commands that run Windows programs under Wine. Sets `preset`
# to the build that this machine can run, and says which in one line: win32,
# the exe that ships, where Wine's 32-bit loader starts (a 32-bit program:
# some kernels run no 32-bit code at all, whatever `uname` says); else win64,
# the same sources for 64-bit Windows. WINDOWS_BUILD=win32 or win64 forces one.
case "${WINDOWS_BUILD:-}" in
    win32 | win64)
        preset=$WINDOWS_BUILD why="WINDOWS_BUILD=$WINDOWS_BUILD" ;;
    "")
        if /usr/lib/wine/wine --version >/dev/null 2>&1; then
            preset=win32 why="this machine runs 32-bit code"
        else
            preset=win64 why="this machine runs no 32-bit code: Wine's 32-bit loader does not start"
        fi ;;
    *)
        echo "WINDOWS_BUILD must be win32 or win64, not $WINDOWS_BUILD" >&2
        exit 2 ;;
esac
echo "Windows build: $preset ($why), running build/$preset/SUTarvexUninstaller2016.exe"
