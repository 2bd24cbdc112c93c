#!/bin/bash
# Runs every test: formatting, warning-free builds, the tests on this host over
# the POSIX layer, and under Wine the same tests against the Windows API, whole
# runs of the real executable, its window and its shape.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh cmake make g++ googletest python3 clang-format \
    g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 \
    wine wine32:i386 wine64 xvfb xdotool icoutils imagemagick

echo "== Formatting"
clang-format --dry-run -Werror $(git ls-files '*.cpp' '*.h')

echo "== Host build and tests"
cmake --preset host -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset host -j"$(nproc)"
ctest --preset host

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
