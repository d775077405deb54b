#!/bin/sh
# Incremental developer build of the extension into a build folder (default
# build/dev), without installing. Run tests against it with:
#   PYTHONPATH=build/dev:python python -m pytest
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/dev}
if [ $# -gt 0 ]; then shift; fi
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja \
        -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" \
        -DPython_EXECUTABLE="$(command -v python3)" "$@"
fi
cmake --build "$build"
