#!/usr/bin/env bash
# A Debian unstable tree (chroot) holding the CPython releases newer than this machine's:
# python3.14, its debug build python3.14-dbg, and python3.15, with g++ and CMake to build the
# module for them. This checkout is mounted inside it at the same path.
#   tools/sid.sh run CMD [ARGS...]   runs CMD inside, from the checkout (makes the tree first)
# The tree lives in $SORVANI_SID (default /var/tmp/sorvani-sid); making it takes about a minute
# and needs root, debootstrap (installed with apt-get when missing) and Debian's mirror.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sid=${SORVANI_SID:-/var/tmp/sorvani-sid}
packages="python3.14 python3.14-dev python3.14-venv python3.14-dbg python3.15 python3.15-dev python3.15-venv g++ cmake make git ca-certificates"
# The mirror's snapshot may carry a Release file whose validity date has passed.
apt_opts="-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false"

ensure() {
    if [ -x "$sid/usr/bin/python3.15" ] && [ -x "$sid/usr/bin/python3.14-dbg" ] && [ -x "$sid/usr/bin/cmake" ]; then
        return 0
    fi
    [ "$(id -u)" = 0 ] || { echo "error: making $sid needs root" >&2; return 1; }
    if ! command -v debootstrap >/dev/null 2>&1; then
        (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap) >/dev/null
    fi
    echo "=== making $sid (debootstrap sid)" >&2
    rm -rf "$sid"
    debootstrap --variant=minbase --include=ca-certificates sid "$sid" >/dev/null
    cp /etc/ssl/certs/ca-certificates.crt "$sid/etc/ssl/certs/ca-certificates.crt"
    cp /etc/resolv.conf "$sid/etc/resolv.conf" 2>/dev/null || true
    chroot "$sid" /bin/sh -c "apt-get $apt_opts update -qq && DEBIAN_FRONTEND=noninteractive apt-get $apt_opts install -y -qq $packages" >/dev/null
}

mounted=()
cleanup() {
    local m
    for m in "${mounted[@]}"; do umount -l "$m" 2>/dev/null || true; done
}

run() {
    ensure
    cp /etc/resolv.conf "$sid/etc/resolv.conf" 2>/dev/null || true
    trap cleanup EXIT
    mkdir -p "$sid$root"
    # A run that was killed leaves its mount behind; if the checkout was made again at this path
    # since, that mount shows the old, deleted one: mounted afresh.
    if mountpoint -q "$sid$root" && ! [ "$root" -ef "$sid$root" ]; then umount -l "$sid$root"; fi
    if ! mountpoint -q "$sid$root"; then mount --bind "$root" "$sid$root" && mounted+=("$sid$root"); fi
    if ! mountpoint -q "$sid/proc"; then mount -t proc proc "$sid/proc" && mounted+=("$sid/proc"); fi
    if ! mountpoint -q "$sid/dev"; then mount --bind /dev "$sid/dev" && mounted+=("$sid/dev"); fi
    local q
    q=$(printf '%q ' "$@")
    chroot "$sid" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
        SORVANI_IN_SID=1 SORVANI_RUNS="${SORVANI_RUNS:-}" \
        /bin/bash -c "cd $(printf '%q' "$root") && $q"
}

case ${1:-} in
    run) shift; run "$@" ;;
    ensure) ensure ;;
    *) echo "usage: tools/sid.sh run CMD [ARGS...] | ensure" >&2; exit 2 ;;
esac
