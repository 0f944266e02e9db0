#!/usr/bin/env bash
# eslint over the report page's script (the config is beside the files), with Debian's eslint:
# apt-get install eslint. Debian's eslint finds its modules under /usr/share/nodejs, which a
# node that is not Debian's own does not search by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
eslint=${SORVANI_ESLINT:-/usr/bin/eslint}
[ -x "$eslint" ] || { echo "lint-js: no $eslint (apt-get install eslint)" >&2; exit 1; }
NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH} "$eslint" --max-warnings 0 python/sorvani_kb/datavisualization/report/assets/js
