# Sourced by the commands that run Windows programs under Wine. Sets `preset`
# to the build that this machine can run, and says which in one line: win32,
# the exe that ships, where the kernel runs 32-bit code and the 32-bit Wine
# can be had (installed here if it is missing); else win64, the same sources
# for 64-bit Windows, under Wine's 64-bit loader. WINDOWS_BUILD=win32 or
# win64 forces one.

# Whether this kernel runs 32-bit x86 programs (some run none at all,
# whatever `uname` says): a 96-byte i386 ELF program that only exits.
runs_32_bit_code() {
    local probe=build/.runs-32-bit-code
    mkdir -p build
    base64 -d >"$probe" <<<'f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhgAAAAYAAAAAUAAAAAEAAAuAEAAAC7AAAAAM2A'
    chmod +x "$probe"
    "$probe" 2>/dev/null
}

case "${WINDOWS_BUILD:-}" in
    win32)
        bash scripts/ensure-packages.sh wine32 || exit 1
        preset=win32 why="WINDOWS_BUILD=win32" ;;
    win64)
        preset=win64 why="WINDOWS_BUILD=win64" ;;
    "")
        if ! runs_32_bit_code; then
            preset=win64 why="this kernel runs no 32-bit code"
        elif ! bash scripts/ensure-packages.sh wine32; then
            preset=win64 why="no 32-bit Wine, as said above"
        elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
            preset=win64 why="Wine's 32-bit loader does not start"
        else
            preset=win32 why="this machine runs 32-bit code"
        fi ;;
    *)
        echo "WINDOWS_BUILD must be win32 or win64, not $WINDOWS_BUILD" >&2
        exit 2 ;;
esac
echo "Windows build: $preset ($why), running build/$preset/SUTarvexUninstaller2016.exe"
