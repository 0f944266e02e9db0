#!/usr/bin/env bash
# The whole test suite, as CI runs it. Each run gets a fresh virtual environment with the
# package built from this checkout:
#   - CPython 3.9 and 3.13 with the newest dependencies pip resolves for each;
#   - CPython 3.9 with the oldest versions the package declares (ci/oldest-constraints.txt);
#   - CPython 3.13 with the module built under AddressSanitizer and UndefinedBehaviorSanitizer.
# Prints pytest's summary for each run and fails if any run failed.
#   SORVANI_RUNS="newest-3.13 oldest-3.9" tools/test.sh   runs a subset
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

runs=${SORVANI_RUNS:-"newest-3.9 newest-3.13 oldest-3.9 sanitize-3.13"}
status=0
summary=()

# Chromium renders the report in the browser test; Debian's package, when we may install it.
ensure_chromium() {
    command -v chromium >/dev/null 2>&1 && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "=== installing chromium (apt-get)"
        (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium) \
            >/dev/null 2>&1 || echo "warning: could not install chromium" >&2
    fi
}

# run_suite LABEL VERSION [pip install options...]
run_suite() {
    local label=$1 v=$2 python venv
    shift 2
    echo "=== $label: CPython $v"
    python=$(find_python "$v") || { status=1; summary+=("$label: no CPython $v"); return; }
    venv=.venv/$label
    if ! (make_venv "$venv" "$python" && pip_quiet "$venv/bin/python" -m pip install --quiet "$@" ".[test]"); then
        status=1
        summary+=("$label: install failed")
        return
    fi
    "$venv/bin/python" -m pip list 2>/dev/null | grep -iE '^(numpy|pandas|matplotlib|statsmodels|plotly) ' | tr -s ' ' | paste -sd ' '
    if "$venv/bin/python" -m pytest -p no:cacheprovider -q -ra tests; then
        summary+=("$label: passed")
    else
        status=1
        summary+=("$label: FAILED")
    fi
}

ensure_chromium
for run in $runs; do
    kind=${run%-*}
    v=${run##*-}
    case $kind in
        newest) SORVANI_REQUIRE_BROWSER=1 run_suite "$run" "$v" ;;
        oldest) run_suite "$run" "$v" -c ci/oldest-constraints.txt ;;
        sanitize)
            if SORVANI_SANITIZE_PYTHON=$v tools/sanitize.sh; then
                summary+=("$run: passed")
            else
                status=1
                summary+=("$run: FAILED")
            fi
            ;;
        *) echo "unknown run $run" >&2; status=1 ;;
    esac
done

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
