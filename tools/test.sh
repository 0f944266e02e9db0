#!/usr/bin/env bash
# The whole test suite, as CI runs it. Each run gets a fresh virtual environment with the
# package built from this checkout:
#   - the C++ sources: clang-format and clang-tidy; the report page's script: eslint; the Python:
#     ruff (lint and format) and mypy;
#   - CPython 3.9 and 3.13 with the newest dependencies pip resolves for each;
#   - CPython 3.9 with the oldest versions the package declares (ci/oldest-constraints.txt);
#   - CPython 3.13 with the module built under AddressSanitizer and UndefinedBehaviorSanitizer;
#   - CPython 3.14 and 3.15 with the newest dependencies, and the reference-leak hunt under the
#     debug build of 3.14, in a Debian unstable tree (tools/sid.sh) that has those interpreters.
# Prints pytest's summary for each run and fails if any run failed.
#   SORVANI_RUNS="newest-3.13 oldest-3.9" tools/test.sh   runs a subset
#   runs: checks, newest-X.Y, oldest-X.Y, sanitize-X.Y, leaks-X.Yd; X.Y of 3.14 and later go to the tree
set -uo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

runs=${SORVANI_RUNS:-"checks newest-3.9 newest-3.13 oldest-3.9 sanitize-3.13 newest-3.14 newest-3.15 leaks-3.14d"}
status=0
summary=()
started=$SECONDS

as_root_install() {  # apt-get install when missing and allowed; quiet
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1 || return 1
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@") >/dev/null 2>&1
}

# Chromium renders the report in the browser tests; Debian's package, when we may install it.
ensure_chromium() {
    command -v chromium >/dev/null 2>&1 && return 0
    echo "=== installing chromium (apt-get)"
    as_root_install chromium || echo "warning: could not install chromium" >&2
}

run_checks() {
    echo "=== checks: clang-format, clang-tidy, eslint, ruff, mypy"
    command -v clang-tidy >/dev/null 2>&1 && command -v clang-format >/dev/null 2>&1 || as_root_install clang-format clang-tidy
    [ -x /usr/bin/eslint ] || as_root_install eslint
    local ok=1 log
    log=$(mktemp)
    clang-format --dry-run --Werror $(git ls-files 'src/*.cpp' 'src/*.hpp') || ok=0
    tools/tidy.sh >"$log" 2>&1 || ok=0
    grep -v "warnings generated" "$log"
    rm -f "$log"
    tools/lint-js.sh || ok=0
    tools/lint-py.sh || ok=0
    if [ $ok = 1 ]; then
        summary+=("checks: passed")
    else
        status=1
        summary+=("checks: FAILED")
    fi
}

# run_suite LABEL VERSION PYTEST_ARGS [pip install options...]
run_suite() {
    local label=$1 v=$2 tests=$3 python venv t0=$SECONDS
    shift 3
    echo "=== $label: CPython $v"
    python=$(find_python "$v") || { status=1; summary+=("$label: no CPython $v"); return; }
    venv=.venv/$label
    if ! (make_venv "$venv" "$python" && pip_quiet "$venv/bin/python" -m pip install --quiet "$@" ".[test]"); then
        status=1
        summary+=("$label: install failed")
        return
    fi
    "$venv/bin/python" -m pip list 2>/dev/null | grep -iE '^(numpy|pandas|matplotlib|statsmodels|plotly) ' | tr -s ' ' | paste -sd ' '
    # shellcheck disable=SC2086
    if "$venv/bin/python" -m pytest -p no:cacheprovider -q -ra $tests; then
        summary+=("$label: passed ($((SECONDS - t0)) s)")
    else
        status=1
        summary+=("$label: FAILED")
    fi
}

# run_one RUN: one run, its line added to the summary.
run_one() {
    local run=$1 kind v
    kind=${run%-*}
    v=${run##*-}
    case $kind in
        checks) run_checks ;;
        newest) SORVANI_REQUIRE_BROWSER=$([ -z "${SORVANI_IN_SID:-}" ] && echo 1) run_suite "$run" "$v" tests ;;
        oldest) run_suite "$run" "$v" tests -c ci/oldest-constraints.txt ;;
        leaks) SORVANI_REQUIRE_DEBUG=1 run_suite "$run" "$v" tests/hardening/test_leaks.py ;;
        sanitize)
            local t0=$SECONDS
            if SORVANI_SANITIZE_PYTHON=$v tools/sanitize.sh; then
                summary+=("$run: passed ($((SECONDS - t0)) s)")
            else
                status=1
                summary+=("$run: FAILED")
            fi
            ;;
        *) echo "unknown run $run" >&2; status=1; summary+=("$run: unknown") ;;
    esac
}

# run_lane SUMMARY_FILE RUN...: the runs one after the other, their summary lines appended to
# SUMMARY_FILE.
run_lane() {
    local file=$1 run
    shift
    for run in "$@"; do run_one "$run"; done
    [ ${#summary[@]} -gt 0 ] && printf '%s\n' "${summary[@]}" >>"$file"
    return $status
}

host_runs=() sid_runs=()
for run in $runs; do
    case $run in
        *-3.1[4-9]*) sid_runs+=("$run") ;;
        *) host_runs+=("$run") ;;
    esac
done

if [ -n "${SORVANI_IN_SID:-}" ]; then  # inside the tree: everything in turn, here
    for run in "${host_runs[@]}" "${sid_runs[@]}"; do run_one "$run"; done
    echo "=== summary"
    printf '%s\n' "${summary[@]}"
    exit $status
fi

# Two lanes at once, one per core. One runs the tree's runs, the checks and the sanitizer run,
# its output kept in a log that is printed when it ends; the other runs the other host runs and
# prints as it goes.
[ ${#host_runs[@]} -gt 0 ] && ensure_chromium
first=() second=()
for run in "${host_runs[@]}"; do
    case $run in
        checks|sanitize-*) first+=("$run") ;;
        *) second+=("$run") ;;
    esac
done
sums=$(mktemp -d)
: >"$sums/first" && : >"$sums/second"
(
    lane_status=0
    if [ ${#sid_runs[@]} -gt 0 ]; then
        echo "=== ${sid_runs[*]} in the Debian unstable tree"
        SORVANI_RUNS="${sid_runs[*]}" tools/sid.sh run tools/test.sh 2>&1 | tee "$sums/sid.log"
        [ "${PIPESTATUS[0]}" = 0 ] || lane_status=1
        if grep -q "^=== summary$" "$sums/sid.log"; then
            sed -n '/^=== summary$/,$p' "$sums/sid.log" | sed 1d >>"$sums/first"
        else
            echo "${sid_runs[*]}: did not run" >>"$sums/first"
            lane_status=1
        fi
    fi
    run_lane "$sums/first" "${first[@]}" || lane_status=1
    exit $lane_status
) >"$sums/first.log" 2>&1 &
lane=$!
run_lane "$sums/second" "${second[@]}" || status=1
wait $lane || status=1
echo "=== the other lane: ${sid_runs[*]} ${first[*]}"
cat "$sums/first.log"
echo "=== summary"
cat "$sums/first" "$sums/second"
grep -q "FAILED\|install failed\|no CPython\|did not run\|unknown" "$sums/first" "$sums/second" && status=1
rm -rf "$sums"
echo "=== total $((SECONDS - started)) s"
exit $status
