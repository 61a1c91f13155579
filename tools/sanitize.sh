#!/usr/bin/env bash
# Sanitizer stage:
#   address: the extension built with AddressSanitizer + UndefinedBehaviorSanitizer,
#            the whole pytest suite run with the sanitizer runtime preloaded into
#            the interpreter (and every subprocess it starts);
#   thread:  the native stress programs of tests/native/ built with
#            ThreadSanitizer and run directly (the interpreter itself is not
#            TSan-instrumented, so it is kept out of that run).
# Any sanitizer report fails the stage.
#
#   tools/sanitize.sh [address|thread|all|tools]     (default: all; tools: install
#                                                    the prerequisites and stop)
#   PYTHON=python3.12 tools/sanitize.sh address   (interpreter to build and test with)
#   extra pytest arguments: SANITIZE_PYTEST_ARGS="-k store" tools/sanitize.sh address
set -euo pipefail

stage=${1:-all}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# The interpreter: $PYTHON, else the newest CI virtual environment (which has
# the test dependencies), else python3.
python=${PYTHON:-}
if [[ -z "$python" ]]; then
  python=python3
  newest_venv=$(ls -d "$root"/build/ci-venv-* 2>/dev/null | sort -V | tail -n 1 || true)
  [[ -n "$newest_venv" && -x "$newest_venv/bin/python" ]] && python="$newest_venv/bin/python"
fi

log() { printf '\n== %s\n' "$*"; }

# tools/devbuild.sh with its output kept out of the log unless the build fails.
quiet_build() {
  local output
  if ! output=$(tools/devbuild.sh "$@" 2>&1); then
    printf '%s\n' "$output" | tail -n 60 >&2
    echo "FAILED: the $1 build" >&2
    return 1
  fi
}

# ---- prerequisites ------------------------------------------------------------

runtime_path() {  # absolute path of a gcc sanitizer runtime, or nothing
  local path
  path=$(g++ -print-file-name="$1" 2>/dev/null || true)
  [[ "$path" == /* && -e "$path" ]] && echo "$path"
}

ensure_tools() {
  local missing=()
  command -v g++ >/dev/null || missing+=(g++)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  if command -v g++ >/dev/null; then
    local gcc_major
    gcc_major=$(g++ -dumpversion | cut -d. -f1)
    # The runtimes come with the compiler's support library package.
    [[ -n "$(runtime_path libasan.so)" && -n "$(runtime_path libubsan.so)" && -n "$(runtime_path libtsan.so)" ]] ||
      missing+=("libgcc-${gcc_major}-dev")
  fi
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# The test suite's dependencies, for the address stage (the thread stage runs
# no Python, and so may use an interpreter that has none installed).
ensure_test_dependencies() {
  if ! "$python" -c "import pytest, hypothesis, numpy, networkx" 2>/dev/null; then
    log "installing the test dependencies for $python"
    "$python" -m pip install -q "pytest>=7" "hypothesis>=6" numpy networkx
  fi
}

# ---- AddressSanitizer + UndefinedBehaviorSanitizer over the pytest suite ------

run_address() {
  ensure_test_dependencies
  log "building with AddressSanitizer + UndefinedBehaviorSanitizer"
  # Warnings are the regular build's business; this stage looks for runtime reports.
  quiet_build asan "$python" -DARBORVANE_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DARBORVANE_WERROR=OFF

  local reports="$root/build/asan/reports"
  rm -rf "$reports"
  mkdir -p "$reports"

  # The interpreter is not instrumented, so the runtimes are preloaded. It
  # leaks by design at exit, hence no leak detection; the leak tests cover
  # our own objects. PYTHONMALLOC=malloc routes Python objects through the
  # sanitizer's allocator, so a reference-count error that frees an object
  # too early shows up as a use-after-free. Reports also go to files, so one
  # in a subprocess that a test expected to fail is not lost.
  local sanitized=(env LD_PRELOAD="$(runtime_path libasan.so) $(runtime_path libubsan.so)"
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
    PYTHONMALLOC=malloc
    ARBORVANE_SANITIZER_RUN=1
    PYTHONPATH="$root/build/asan/pkg"
    "$python")

  # An installed copy of the package must not shadow the instrumented one.
  local loaded
  loaded=$("${sanitized[@]}" -c "import arborvane._accel as m; print(m.__file__)")
  if [[ "$loaded" != "$root/build/asan/pkg/"* ]]; then
    echo "FAILED: the tests would import $loaded, not the instrumented build" >&2
    return 1
  fi

  log "pytest under the sanitizers ($("$python" --version))"
  local status=0
  # --capture=sys: UBSan writes its reports to the process's stderr whatever
  # log_path says, and pytest's default descriptor capture would swallow one
  # that ends the process.
  "${sanitized[@]}" -m pytest "$root/tests" -q -p no:cacheprovider --capture=sys ${SANITIZE_PYTEST_ARGS:-} || status=$?

  if compgen -G "$reports/*" >/dev/null; then
    log "sanitizer reports:"
    cat "$reports"/*
    echo "FAILED: AddressSanitizer/UndefinedBehaviorSanitizer reported errors" >&2
    return 1
  fi
  if ((status != 0)); then
    echo "FAILED: pytest under the sanitizers exited with $status" >&2
    return "$status"
  fi
  log "address stage: no sanitizer report, pytest passed"
}

# ---- ThreadSanitizer over the native stress programs --------------------------

run_thread() {
  shopt -s nullglob
  local sources=("$root"/tests/native/*.cpp)
  shopt -u nullglob
  if ((${#sources[@]} == 0)); then
    echo "FAILED: no native stress program in tests/native/" >&2
    return 1
  fi

  log "building the native stress programs with ThreadSanitizer"
  quiet_build tsan "$python" -DARBORVANE_SANITIZE=thread -DARBORVANE_NATIVE_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARBORVANE_WERROR=OFF

  # TSan's shadow memory layout clashes with the high mmap randomisation of
  # recent kernels; running without address randomisation avoids that.
  local launcher=()
  if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    launcher=(setarch "$(uname -m)" -R)
  fi

  local src name failed=0
  for src in "${sources[@]}"; do
    name=$(basename "$src" .cpp)
    for threads in 2 4 8; do
      log "$name under ThreadSanitizer, RAYON_NUM_THREADS=$threads"
      if ! env TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66" \
          RAYON_NUM_THREADS=$threads timeout 600 "${launcher[@]}" "$root/build/tsan/$name"; then
        echo "FAILED: $name (RAYON_NUM_THREADS=$threads)" >&2
        failed=1
      fi
    done
  done
  ((failed == 0)) || return 1
  log "thread stage: no ThreadSanitizer report"
}

ensure_tools
case "$stage" in
  tools) ;;  # the prerequisites only, e.g. before running the stages side by side
  address) run_address ;;
  thread) run_thread ;;
  all)
    result=0
    run_address || result=1
    run_thread || result=1
    exit $result
    ;;
  *)
    echo "usage: $0 [address|thread|all|tools]" >&2
    exit 2
    ;;
esac
