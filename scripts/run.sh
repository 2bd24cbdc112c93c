#!/bin/bash
# The main job: builds the Windows executable and shows it at work under Wine,
# on a sample installation in the build's own Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$(nproc)" --target SUTarvexUninstaller2016 WineHelper >/dev/null
echo "Built $(pwd)/build/win32/SUTarvexUninstaller2016.exe"
/usr/bin/python3 scripts/demo.py build/win32/SUTarvexUninstaller2016.exe build/win32/WineHelper.exe \
    build/win32/wineprefix build/win32/demo
