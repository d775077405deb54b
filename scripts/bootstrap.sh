#!/bin/sh
# Sets up a fresh Debian machine for skarvo_mp and installs the package.
#   scripts/bootstrap.sh          the package with its command, plots and archives
#   scripts/bootstrap.sh test     the same plus pandas/xarray and the test requirements
set -eu
cd "$(dirname "$0")/.."

# Build dependencies that come from Debian: Eigen headers and zlib headers.
missing=""
[ -f /usr/include/eigen3/Eigen/Core ] || missing="$missing libeigen3-dev"
[ -f /usr/include/zlib.h ] || missing="$missing zlib1g-dev"
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # shellcheck disable=SC2086
    $sudo apt-get install -y $missing || { $sudo apt-get update && $sudo apt-get install -y $missing; }
fi

extras="plots,archive"
[ "${1:-}" = "test" ] && extras="plots,archive,frames,test"
python3 -m pip install --quiet ".[$extras]"
# Under pyenv a new console script needs a shim before it can be run by name.
if command -v pyenv >/dev/null 2>&1; then pyenv rehash || true; fi
