#!/bin/bash
# Benchmarks (not tests: nothing here passes or fails on time).
#   1. RemoveDirectoryTree over the POSIX layer against rm -rf and
#      std::filesystem::remove_all at 1,000, 10,000 and 100,000 files, on an
#      in-memory file system where there is one (so that the layer's own cost
#      shows, not the disk's).
#   2. The real exe under Wine removing a 10,000-file version folder against
#      wine cmd /c rd /s /q and a native rm -rf of the same tree.
#      With --baseline REV first, the exe built from that git revision takes
#      turns with it, so that a change is measured against it in one run.
# Other arguments go to the first: e.g. --files-per-folder 20 --depth 6 1000.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh cmake make g++ python3 python3-pefile time git wine wine32:i386 wine64 \
    g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 googletest

scratch=/tmp/tarvex-benchmark
[[ -d /dev/shm ]] && scratch=/dev/shm/tarvex-benchmark

cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)" --target tree_removal_benchmark >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$(nproc)" --target SUTarvexUninstaller2016 WineHelper >/dev/null

baseline=()
if [[ "${1:-}" == --baseline ]]; then
    worktree=build/baseline-source
    git worktree remove --force "$worktree" 2>/dev/null || rm -rf "$worktree"
    git worktree add --detach -q "$worktree" "$2"
    (cd "$worktree" && cmake --preset win32 -DUNINSTALLER_BUILD_TESTS=OFF >/dev/null &&
        cmake --build --preset win32 -j"$(nproc)" --target SUTarvexUninstaller2016 >/dev/null)
    cp "$worktree/build/win32/SUTarvexUninstaller2016.exe" "build/baseline-$2.exe"
    git worktree remove --force "$worktree"
    baseline=(--baseline "build/baseline-$2.exe")
    shift 2
fi

echo "== RemoveDirectoryTree on Linux ($(nproc) cores, scratch $scratch)"
build/bench/benchmarks/tree_removal_benchmark --scratch "$scratch" "$@"
echo "== The exe under Wine ($(wine --version))"
/usr/bin/python3 benchmarks/wine_benchmark.py "${baseline[@]}" build/win32
