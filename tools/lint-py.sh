#!/usr/bin/env bash
# ruff (lint and format) and mypy over python/, tests/, bench/ and tools/, in a kept environment
# of their own (.venv/lint) that holds the package's dependencies for mypy to read, not the
# package itself (mypy reads it from python/).
#   tools/lint-py.sh          check
#   tools/lint-py.sh --fix    also apply ruff's fixes and formatting
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

venv=.venv/lint
python=$(find_python 3.13)
if [ ! -x "$venv/bin/mypy" ] || [ pyproject.toml -nt "$venv/.installed" ]; then
    make_venv "$venv" "$python"
    deps=$("$venv/bin/python" - <<'PY'
import tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
print("\n".join(project["dependencies"] + project["optional-dependencies"]["test"]))
PY
)
    mapfile -t reqs <<<"$deps"
    pip_quiet "$venv/bin/python" -m pip install --quiet "${reqs[@]}"
    touch "$venv/.installed"
fi
targets=(python tests bench tools)
if [ "${1:-}" = "--fix" ]; then
    "$venv/bin/ruff" check --fix "${targets[@]}"
    "$venv/bin/ruff" format "${targets[@]}"
fi
status=0
"$venv/bin/ruff" check "${targets[@]}" || status=1
"$venv/bin/ruff" format --check "${targets[@]}" || status=1
"$venv/bin/mypy" || status=1
exit $status
