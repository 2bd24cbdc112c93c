#!/bin/bash
# Benchmarks (not tests: nothing here passes or fails on time).
#   1. RemoveDirectoryTree over the POSIX layer against rm -rf and
#      std::filesystem::remove_all at 1,000, 10,000 and 100,000 files, on an
#      in-memory file system where there is one (so that the layer's own cost
#      shows, not the disk's).
#   2. The real exe under Wine removing a 10,000-file version folder against
#      wine cmd /c rd /s /q and a native rm -rf of the same tree.
# Extra arguments go to the first: e.g. --files-per-folder 20 --depth 6 1000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh cmake make g++ python3 time wine wine32:i386 wine64 \
    g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 googletest

scratch=/tmp/tarvex-benchmark
[[ -d /dev/shm ]] && scratch=/dev/shm/tarvex-benchmark

cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)" --target tree_removal_benchmark >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$(nproc)" --target SUTarvexUninstaller2016 WineHelper >/dev/null

echo "== RemoveDirectoryTree on Linux ($(nproc) cores, scratch $scratch)"
build/bench/benchmarks/tree_removal_benchmark --scratch "$scratch" "$@"
echo "== The exe under Wine ($(wine --version))"
python3 benchmarks/wine_benchmark.py build/win32
