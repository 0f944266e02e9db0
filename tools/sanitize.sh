#!/usr/bin/env bash
# The test suite against a build of the module with AddressSanitizer and
# UndefinedBehaviorSanitizer, on the newest supported CPython. Python's allocator is switched
# to malloc so that the sanitizer sees every allocation; any report fails the run.
#   tools/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

v=${SORVANI_SANITIZE_PYTHON:-3.13}
venv=.venv/asan-$v
if [ ! -x "$venv/bin/python" ] || [ "${SORVANI_FRESH:-1}" = 1 ]; then
    make_venv "$venv" "$(find_python "$v")"
    pip_quiet "$venv/bin/python" -m pip install --quiet scikit-build-core ".[test]"
fi
pip_quiet "$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
    -Ccmake.define.SORVANI_SANITIZE=ON -Cbuild-dir="build/asan-$v" .

# The interpreter itself is not instrumented: the runtime is preloaded, with the C++ runtime
# beside it so that its interceptors find the real __cxa_throw (other extensions throw too).
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
# Leaks are checked by the suite's own reference-count and memory tests: CPython keeps its
# interned objects and caches to the end, which LeakSanitizer would report by the thousand.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
echo "=== CPython $v, module built with -fsanitize=address,undefined"
"$venv/bin/python" -m pytest -p no:cacheprovider -q -ra "${@:-tests}"
