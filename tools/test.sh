#!/usr/bin/env bash
# The whole test suite, as CI runs it: for the oldest and the newest supported CPython, a fresh
# virtual environment with the package built from this checkout and its newest dependencies,
# then pytest. Prints pytest's summary for each and fails if any run failed.
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

versions=${SORVANI_PYTHONS:-"3.9 3.13"}
status=0
summary=()

for v in $versions; do
    echo "=== CPython $v: fresh environment, newest dependencies"
    python=$(find_python "$v") || { status=1; summary+=("CPython $v: interpreter not found"); continue; }
    venv=.venv/test-$v
    if ! (make_venv "$venv" "$python" && pip_quiet "$venv/bin/python" -m pip install --quiet ".[test]"); then
        status=1
        summary+=("CPython $v: install failed")
        continue
    fi
    "$venv/bin/python" -m pip list 2>/dev/null | grep -iE '^(numpy|pandas|matplotlib|statsmodels|plotly|narwhals) '
    if "$venv/bin/python" -m pytest -p no:cacheprovider -q -ra tests; then
        summary+=("CPython $v: passed")
    else
        status=1
        summary+=("CPython $v: FAILED")
    fi
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
