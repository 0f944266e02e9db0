#!/usr/bin/env bash
# The main job: the self-contained HTML report of the shipped sample, or of the files given.
# Makes a fresh environment .venv/report on the newest CPython found, installs this checkout into
# it, writes the report and prints its path. Arguments go to the report command unchanged:
#   tools/report.sh                                   # report.html of the sample, here
#   tools/report.sh preds.csv --observed obs.csv -o /tmp/report.html
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/common.sh"

python=""
for v in 3.13 3.12 3.11 3.10 3.9; do
    python=$(find_python "$v" 2>/dev/null) && break
done
[ -n "$python" ] || { echo "error: no CPython 3.9 to 3.13 found" >&2; exit 1; }

venv=$root/.venv/report
echo "=== environment $venv ($("$python" --version))" >&2
make_venv "$venv" "$python"
(cd "$root" && pip_quiet "$venv/bin/python" -m pip install --quiet .)
echo "=== report" >&2
exec "$venv/bin/python" -m sorvani_kb.datavisualization "$@"
