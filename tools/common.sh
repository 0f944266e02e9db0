# Shared by the scripts in tools/: finding the interpreters and making virtual environments.
# shellcheck shell=bash

# Prints the path of the newest CPython X.Y found under pyenv or on PATH, or fails. X.Yd asks
# for the debug build (Debian's pythonX.Y-dbg).
find_python() {
    local want=$1 root candidate
    if [ "${want%d}" != "$want" ]; then
        command -v "python${want%d}-dbg" && return 0
        echo "error: no debug build of CPython ${want%d} (python${want%d}-dbg) on PATH" >&2
        return 1
    fi
    if command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root)
    else
        root=${PYENV_ROOT:-$HOME/.pyenv}
    fi
    for candidate in $(ls -d "$root"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -V -r); do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    if command -v "python$want" >/dev/null 2>&1; then
        command -v "python$want"
        return 0
    fi
    echo "error: no CPython $want found (looked under $root/versions and on PATH)" >&2
    return 1
}

# make_venv DIR PYTHON: a fresh virtual environment with a current pip.
make_venv() {
    local dir=$1 python=$2
    rm -rf "$dir"
    "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install --quiet --upgrade pip
}

# Quiet pip: drop the notices about unused local package folders that this machine's pip
# configuration prints.
pip_quiet() {
    "$@" 2> >(grep -v "^WARNING: Location 'file://" >&2)
}
