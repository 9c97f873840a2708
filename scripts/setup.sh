#!/bin/sh
# Installs the Debian packages that building vorpa needs. Does nothing when
# all of them are there, so it is safe to run before every build; else one
# line says what it installs, and apt-get's words show only when it fails.
#   setup.sh [--list] [test] [deb] [checks] [fuzz]
# Alone: what the program needs. test: also what its tests need; deb: what
# "make deb" needs; checks: the tools the tests check the package and the
# systemd units with (CI); fuzz: clang-14 and libclang-rt-14-dev (libFuzzer,
# the sanitizers' runtimes), which only the fuzz targets need (fuzz/run.sh).
# --list: only say which packages those are.
set -eu

packages="cmake make g++ libssl-dev zlib1g-dev libcurl4-openssl-dev nlohmann-json3-dev libarchive-dev"
list=no
for set in "$@"; do
    case $set in
    --list) list=yes ;;
    test) packages="$packages libgtest-dev libgmock-dev zip unzip strace man-db" ;;
    deb) packages="$packages dpkg-dev file" ;;
    checks) packages="$packages lintian systemd" ;;
    fuzz) packages="$packages clang-14 libclang-rt-14-dev" ;;
    *)
        echo "setup.sh: unknown set $set (test, deb, checks, fuzz)" >&2
        exit 1
        ;;
    esac
done
if [ $list = yes ]; then
    echo "$packages"
    exit 0
fi

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing with apt-get:$missing"
if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
else
    echo "setup.sh: need root (or sudo) to install:$missing" >&2
    exit 1
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# shellcheck disable=SC2086
if ! { $sudo apt-get update && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
