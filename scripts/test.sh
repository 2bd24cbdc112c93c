#!/bin/bash
# Runs every test: formatting, static analysis, a warning-free Windows build,
# and under Wine, against the real Windows API, the logic's tests and the
# real executable's.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh test

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

source scripts/choose-build.sh

echo "== Windows build"
# The 32-bit build always: it is what ships, and what the PE checks and the
# release read. The 64-bit one too where it is the one that runs.
for build in win32 $([[ $preset == win64 ]] && echo win64); do
    cmake --preset "$build" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$build" -j"$(nproc)"
done

echo "== clang-tidy"
mapfile -t product < <(sources 'platform/*.cpp' 'removal/*.cpp' 'uninstaller/*.cpp')
# clang for the same target as the build, with the cross compiler's C++ headers.
gcc_include=$(i686-w64-mingw32-g++-posix -print-file-name=include)
tidy_target=(--extra-arg=--target=i686-w64-mingw32
    "--extra-arg=-isystem$gcc_include/c++" "--extra-arg=-isystem$gcc_include/c++/i686-w64-mingw32")
# Its count of the warnings it left out of system headers is no finding.
clang-tidy --quiet -p build/win32 "${tidy_target[@]}" "${product[@]}" \
    2> >(grep -v ' warnings\( and [0-9]* errors\)\? generated\.$' >&2)

echo "== Wine prefix"
# Made once per build tree before any test, and idle before the tests start.
prefix=build/$preset/wineprefix
cmake/run-under-wine.sh "$prefix" cmd /c exit
WINEPREFIX="$(pwd)/$prefix" wineserver --wait

echo "== Tests under Wine ($preset)"
status=0
ctest --preset "$preset" || status=$?
WINEPREFIX="$(pwd)/$prefix" wineserver --wait
exit $status
