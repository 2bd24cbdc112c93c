#!/bin/bash
# Builds everything warning-free and runs the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/ensure-packages.sh cmake make g++ googletest python3 clang-format

echo "== Formatting"
clang-format --dry-run -Werror $(git ls-files '*.cpp' '*.h')

echo "== Windows executable"
bash scripts/build.sh

echo "== Host tests"
cmake --preset host -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build --preset host -j"$(nproc)"
ctest --preset host
