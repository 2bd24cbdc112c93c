#!/bin/bash
# Benchmark (not a test: nothing here passes or fails on time). Times the
# real exe under Wine removing an installed 10,000-file version folder from
# the all-users Plugins folder, with hyperfine, against `wine cmd /c rd /s /q`
# of the same tree and, with --baseline REVISION, against the exe built from
# that revision (any revision git accepts: origin/main, a commit). Every run
# gets a fresh tree (--prepare). Prints hyperfine's figures, then the API
# calls per file and per folder from a relay trace.
#
#   bash scripts/benchmark.sh [--baseline REVISION] [--runs N] [--files N]
#                             [--files-per-folder N] [--depth N] [--no-rd]
set -euo pipefail
cd "$(dirname "$0")/.."

baseline="" runs=5 with_rd=1 shape=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --baseline) baseline=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --files|--files-per-folder|--depth) shape+=("$1" "$2"); shift 2 ;;
        --no-rd) with_rd=0; shift ;;
        *) echo "benchmark: unknown argument $1" >&2; exit 2 ;;
    esac
done

bash scripts/ensure-packages.sh benchmark
source scripts/choose-build.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" --target SUTarvexUninstaller2016 WineHelper >/dev/null
build=$(pwd)/build/$preset
# The baseline is built with the toolchain file our build was configured with.
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")
prefix=$build/wineprefix
exe=$build/SUTarvexUninstaller2016.exe
python=/usr/bin/python3
export PYTHONPATH=$(pwd)/tools/wine

commands=(-n "this exe" "env -u DISPLAY cmake/run-under-wine.sh $prefix $exe")
if [[ -n "$baseline" ]]; then
    # The revision's sources alone, exported: no worktree is registered.
    commit=$(git rev-parse --verify "$baseline^{commit}")
    source=$(pwd)/build/baseline-$commit
    if [[ ! -f "$source/build/$preset/SUTarvexUninstaller2016.exe" ]]; then
        rm -rf "$source" && mkdir -p "$source"
        git archive "$commit" | tar -x -C "$source"
        cmake -S "$source" -B "$source/build/$preset" --toolchain "$toolchain" \
            -DCMAKE_BUILD_TYPE=Release -DUNINSTALLER_BUILD_TESTS=OFF >/dev/null
        cmake --build "$source/build/$preset" -j"$(nproc)" --target SUTarvexUninstaller2016 >/dev/null
    fi
    # Beside ours, so that both load the same DLLs.
    cp "$source/build/$preset/SUTarvexUninstaller2016.exe" "$build/baseline.exe"
    commands+=(-n "exe of $baseline" "env -u DISPLAY cmake/run-under-wine.sh $prefix $build/baseline.exe")
fi

cmake/run-under-wine.sh "$prefix" cmd /c exit
mapfile -t where < <("$python" benchmarks/wine_benchmark.py where "$build")
tree_windows=${where[0]} tree=${where[1]}
if [[ $with_rd -eq 1 ]]; then
    commands+=(-n "wine cmd /c rd /s /q" "cmake/run-under-wine.sh $prefix cmd /c rd /s /q \"$tree_windows\"")
fi

# One wineserver throughout, so that no run pays for starting it.
export WINEPREFIX=$prefix
wineserver --wait
wineserver --persistent
trap 'wineserver --kill; rm -f "$build/baseline.exe"' EXIT

echo "== Under Wine ($(/usr/lib/wine/wine64 --version)), $(nproc) cores"
prepare="$python benchmarks/wine_benchmark.py tree \"$tree\" ${shape[*]}"
# The exe always exits with status 1.
hyperfine --ignore-failure --warmup 1 --runs "$runs" --prepare "$prepare" --export-json "$build/benchmark.json" "${commands[@]}"
"$python" - "$build/benchmark.json" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
ours = results[0]["median"]
print("%-28s %10s %10s %10s %10s" % ("", "median", "min", "max", "this/it"))
for result in results:
    print("%-28s %8.0f ms %7.0f ms %7.0f ms %10.2f" % (
        result["command"], 1000 * result["median"], 1000 * result["min"],
        1000 * result["max"], ours / result["median"]))
PY
echo "== Calls"
"$python" benchmarks/wine_benchmark.py calls "$build" "$exe" "$tree" "${shape[@]}"
if [[ -n "$baseline" ]]; then
    "$python" benchmarks/wine_benchmark.py calls "$build" "$build/baseline.exe" "$tree" "${shape[@]}"
fi
