#!/usr/bin/env bash
# Builds CPython from the source tarball beside the checkout (../shared) with
# the interpreter lock and free-threaded (--disable-gil), into a cache outside
# the clone keyed by the tarball's checksum, so a later run on the same
# machine reuses it. Prints the two interpreter paths, one per line.
#   tools/build_cpython.sh [tarball]
#   ARBORVANE_CPYTHON_CACHE=/some/dir tools/build_cpython.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tarball=${1:-$root/../shared/cpython-3.14.7.tar.xz}
[[ -f "$tarball" ]] || { echo "no CPython source at $tarball" >&2; exit 1; }
sum=$(sha256sum "$tarball" | cut -c1-16)
cache=${ARBORVANE_CPYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/arborvane-cpython}/$sum
jobs=$(nproc 2>/dev/null || echo 2)

# One build at a time per cache: a second run waits for the first and then
# finds its interpreters complete.
mkdir -p "$cache"
if command -v flock >/dev/null 2>&1; then
  exec 9>"$cache/.lock"
  flock 9
fi

build() {  # build <flavour> <configure flags...>
  local flavour=$1; shift
  local prefix="$cache/$flavour"
  if [[ -f "$prefix/.complete" ]]; then return 0; fi
  rm -rf "$prefix" "$cache/src-$flavour"
  mkdir -p "$cache/src-$flavour"
  tar -xJf "$tarball" -C "$cache/src-$flavour" --strip-components=1
  (
    cd "$cache/src-$flavour"
    ./configure -q --prefix="$prefix" --without-ensurepip "$@" >"$cache/configure-$flavour.log" 2>&1
    make -s -j"$jobs" >"$cache/make-$flavour.log" 2>&1
    make -s install >"$cache/install-$flavour.log" 2>&1
  ) || { echo "CPython build ($flavour) failed; see $cache/*-$flavour.log" >&2; tail -n 30 "$cache"/make-"$flavour".log >&2 || true; exit 1; }
  # Modules that configure leaves out silently when a library's headers are
  # missing, and without which pip (ssl, zlib) or the tests cannot run.
  if ! "$prefix/bin/python3" -c "import ssl, zlib, ctypes, bz2, lzma" 2>"$cache/check-$flavour.log"; then
    echo "CPython build ($flavour) lacks a module: $(tail -n 1 "$cache/check-$flavour.log")" >&2
    echo "install the development headers (Debian/Ubuntu: libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev) and run again" >&2
    exit 1
  fi
  rm -rf "$cache/src-$flavour"
  touch "$prefix/.complete"
}

build default >&2
build freethreaded --disable-gil >&2
echo "$cache/default/bin/python3"
ls "$cache"/freethreaded/bin/python3.*t | head -n 1
