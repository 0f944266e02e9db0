#!/usr/bin/env bash
# clang-tidy over our sources, with the compile commands of a build for the newest CPython.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh
python=$(find_python "${SORVANI_TIDY_PYTHON:-3.13}")
cmake -S . -B build/tidy -DPython_EXECUTABLE="$python" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
clang-tidy -p build/tidy --quiet --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1 $(git ls-files 'src/*.cpp')
