#!/usr/bin/env bash
# Developer build without pip: compiles the extension into build/<name> and
# lays out an importable package there (sources linked, module copied). The
# one shared library holds both native modules, _accel and _arrays; the
# package loads _arrays from _accel's file (python/arborvane/_native.py).
#   tools/devbuild.sh [name] [python] [extra cmake args...]
# then: PYTHONPATH=build/<name>/pkg python -m pytest
set -euo pipefail
name=${1:-dev}
python=${2:-python3}
shift $(( $# > 2 ? 2 : $# ))
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build/$name"
cmake -S "$root" -B "$dir" -G Ninja -DARBORVANE_WERROR=ON -DPython_EXECUTABLE="$(command -v "$python")" "$@" >/dev/null
cmake --build "$dir"
pkg="$dir/pkg/arborvane"
mkdir -p "$pkg"
for f in "$root"/python/arborvane/*; do ln -sfn "$f" "$pkg/$(basename "$f")"; done
cp -f "$dir"/_accel*.so "$pkg/"
echo "PYTHONPATH=$dir/pkg"
