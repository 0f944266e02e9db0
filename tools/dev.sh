#!/usr/bin/env bash
# Fast loop for development: keeps one environment per CPython (.venv/dev-X.Y), rebuilds and
# reinstalls the package into it, then runs pytest with the arguments given.
#   tools/dev.sh 3.13 tests/runtime -x
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

v=${1:-3.13}
shift || true
venv=.venv/dev-$v
if [ ! -x "$venv/bin/python" ]; then
    make_venv "$venv" "$(find_python "$v")"
    pip_quiet "$venv/bin/python" -m pip install --quiet scikit-build-core ".[test]"
fi
pip_quiet "$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir="build/dev-$v" .
exec "$venv/bin/python" -m pytest -p no:cacheprovider -q "$@"
