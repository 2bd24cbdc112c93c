#!/bin/bash
# Runs every test: formatting, static analysis, warning-free builds, the tests
# on this host over the POSIX layer (as built and under the sanitizers), and
# under Wine what only the Windows API and the real executable can show.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh git cmake make g++ googletest python3 python3-pefile \
    clang-format clang-tidy g++-mingw-w64-i686-posix mingw-w64-i686-dev \
    binutils-mingw-w64-i686 wine wine32:i386 wine64 xvfb xdotool imagemagick \
    osslsigncode openssl ca-certificates

# The tracked sources, also in a checkout that belongs to another user.
sources() {
    git -c safe.directory="$PWD" ls-files "$@"
}

echo "== Formatting"
mapfile -t files < <(sources '*.cpp' '*.h')
if [[ ${#files[@]} -eq 0 ]]; then
    echo "No tracked C++ sources found: nothing to check the formatting of." >&2
    exit 1
fi
clang-format --dry-run -Werror "${files[@]}"

echo "== Host build and tests"
cmake --preset host -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset host -j"$(nproc)"
ctest --preset host

echo "== clang-tidy"
mapfile -t product < <(sources 'removal/*.cpp' 'uninstaller/*.cpp' 'platform/Unix/*.cpp')
# Its count of the warnings it left out of system headers is no finding.
clang-tidy --quiet -p build/host "${product[@]}" 2> >(grep -v ' warnings generated\.$' >&2)

echo "== Host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset sanitize -j"$(nproc)"
ctest --preset sanitize

echo "== Windows build"
cmake --preset win32 -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset win32 -j"$(nproc)"

echo "== Wine prefix"
# Made once per build tree before any test, and idle before the tests start.
prefix=build/win32/wineprefix
cmake/run-under-wine.sh "$prefix" cmd /c exit
WINEPREFIX="$(pwd)/$prefix" wineserver --wait

echo "== Windows tests under Wine"
ctest --preset win32
WINEPREFIX="$(pwd)/$prefix" wineserver --wait
