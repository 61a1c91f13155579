#!/usr/bin/env bash
# Checks python/arborvane/_accel.pyi and _arrays.pyi (the second module of
# the same library) against the built extension with mypy's
# stubtest: every method, parameter name, kind and default, and nothing the
# module lacks; then type-checks a user's script that uses every public name
# (tests/typing/public_api.py) with mypy --strict against the package the
# interpreter imports. Fails on any error. arborvane must be importable by the
# interpreter used (installed, or on PYTHONPATH, e.g. build/<name>/pkg).
#   PYTHON=python3.13 tools/check_stubs.sh
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-}
if [ -z "$python" ]; then
  if command -v python >/dev/null 2>&1; then python=python; else python=python3; fi
fi
if ! "$python" -c 'import mypy.stubtest' >/dev/null 2>&1; then
  echo "check_stubs: installing mypy for $("$python" -c 'import sys; print(sys.executable)')"
  "$python" -m pip install -q mypy
fi
where=$("$python" -c 'import arborvane._accel as m; print(m.__file__)' 2>&1) || {
  echo "check_stubs: arborvane._accel is not importable: $where" >&2
  exit 1
}
# stubtest passes silently when it finds no stub at all, so insist on the
# stub sitting beside the module that will be checked.
stub="$(dirname "$where")/_accel.pyi"
[ -f "$stub" ] || { echo "check_stubs: no stub beside $where" >&2; exit 1; }
echo "check_stubs: checking $stub against $where"
"$python" -m mypy.stubtest --concise arborvane._accel arborvane._arrays
# The stubs themselves must also type-check on their own.
"$python" -m mypy --strict --no-error-summary python/arborvane/_accel.pyi python/arborvane/_arrays.pyi
echo "check_stubs: stubs match the module"
# mypy finds installed packages by itself; a developer build is named to it.
package_root=$(dirname "$(dirname "$where")")
case "$package_root" in
  */site-packages) unset MYPYPATH ;;
  *) export MYPYPATH=$package_root ;;
esac
echo "check_stubs: mypy --strict on a user's script, against the package in $package_root"
"$python" -m mypy --strict --cache-dir build/mypy-cache tests/typing/public_api.py
