#!/bin/bash
# Builds the 32-bit Windows executable: build/win32/SUTarvexUninstaller2016.exe
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh cmake make g++-mingw-w64-i686-posix mingw-w64-i686-dev \
    binutils-mingw-w64-i686

cmake --preset win32 -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset win32 -j"$(nproc)"
echo "Built $(pwd)/build/win32/SUTarvexUninstaller2016.exe"
