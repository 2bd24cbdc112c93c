#!/bin/bash
# The main job: builds the Windows executable and shows it at work under Wine,
# on a sample installation in the build's own Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh run
source scripts/choose-build.sh

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" --target SUTarvexUninstaller2016 WineHelper >/dev/null
build=build/$preset
echo "Built $(pwd)/$build/SUTarvexUninstaller2016.exe"
PYTHONPATH=tools/wine /usr/bin/python3 scripts/demo.py "$build/SUTarvexUninstaller2016.exe" \
    "$build/WineHelper.exe" "$build/wineprefix" "$build/demo"
