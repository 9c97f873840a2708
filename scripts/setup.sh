#!/bin/sh
# Installs the Debian packages needed to build and test vorpa. Does nothing
# when all of them are there, so it is safe to run before every build.
set -eu

# With "fuzz": also clang-14 and libclang-rt-14-dev (libFuzzer, the
# sanitizers' runtimes), which only the fuzz targets need (fuzz/run.sh).
packages="cmake make g++ libgtest-dev libgmock-dev libssl-dev zlib1g-dev libcurl4-openssl-dev nlohmann-json3-dev libarchive-dev zip unzip strace man-db"
[ "${1:-}" = fuzz ] && packages="$packages clang-14 libclang-rt-14-dev"
# --list: only say which packages a build and its tests need.
if [ "${1:-}" = --list ]; then
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

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
else
    echo "setup.sh: need root (or sudo) to install:$missing" >&2
    exit 1
fi
$sudo apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
