#!/usr/bin/env bash
# Runs the Python test suites against the module in a build folder.
#
#   scripts/run-pytest.sh [--sanitize] PYTHON BUILD_DIR [PYTEST_ARG...]
#
# PYTHON is an interpreter path, or `cpython-3.X` for the newest 3.X.* that pyenv has
# (resolved now, so an interpreter installed after configuring is picked up). An absent
# `cpython-3.X` is a skip: one line and exit code 77. With no PYTEST_ARG the suites of
# pytest.ini's testpaths run. The suites run in the interpreter's virtual environment
# holding the pinned test requirements (scripts/test-env.sh), unless KESTRELITE_TEST_ENV=none.
#
# --sanitize runs under the AddressSanitizer runtime built into BUILD_DIR's module; any
# sanitizer report fails the run, even one that leaves the exit code at 0.
set -euo pipefail

readonly kSkipCode=77

sanitize=0
if [ "${1:-}" = --sanitize ]; then
  sanitize=1
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--sanitize] PYTHON BUILD_DIR [PYTEST_ARG...]" >&2
  exit 2
fi
python=$1
build_dir=$(cd "$2" && pwd)
shift 2

repo=$(cd "$(dirname "$0")/.." && pwd)

pyenv_root() {
  if command -v pyenv >/dev/null 2>&1; then
    pyenv root
  else
    echo "${PYENV_ROOT:-$HOME/.pyenv}"
  fi
}

case "$python" in
  cpython-3.*)
    minor=${python#cpython-}
    root=$(pyenv_root)
    found=$(printf '%s\n' "$root/versions/$minor".[0-9]* | grep -E "/$minor\.[0-9]+$" \
      | sort -V | tail -n 1 || true)
    if [ -z "$found" ] || [ ! -x "$found/bin/python$minor" ]; then
      echo "skipped: CPython $minor not present"
      exit $kSkipCode
    fi
    python=$found/bin/python$minor
    ;;
esac
interpreter=$python
# The suites run in a virtual environment of this interpreter holding the pinned test
# requirements, made on first use and kept; KESTRELITE_TEST_ENV=none runs them under the
# interpreter as it is, with the test packages it brings (an emulated foreign-architecture
# tree, whose interpreter cannot install from the index).
if [ "${KESTRELITE_TEST_ENV:-venv}" != none ]; then
  python=$(bash "$repo/scripts/test-env.sh" "$interpreter")
fi

"$python" -c 'import platform, sys
print("interpreter:", sys.executable, "of", sys.base_prefix, platform.python_implementation(),
      " ".join(sys.version.split()))'

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrelite-pytest.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

export PYTHONPATH=$build_dir
export KESTRELITE_BUILD_DIR=$build_dir
export HYPOTHESIS_STORAGE_DIRECTORY=$scratch/hypothesis
# Bytecode of the tests goes to the build folder, not beside the sources.
export PYTHONPYCACHEPREFIX=$build_dir/pycache

pytest=("$python" -m pytest -c "$repo/pytest.ini" --rootdir "$repo")
cd "$repo"

if [ $sanitize -eq 0 ]; then
  default_profile=quick
  [ "$interpreter" = /usr/bin/python3 ] && default_profile=default
  export KESTRELITE_HYPOTHESIS_PROFILE=${KESTRELITE_HYPOTHESIS_PROFILE:-$default_profile}
  status=0
  "${pytest[@]}" "$@" || status=$?
else
  runtime=${KESTRELITE_ASAN_RUNTIME:-$("${CXX:-g++}" -print-file-name=libasan.so)}
  if [ ! -f "$runtime" ]; then
    echo "error: AddressSanitizer runtime not found (got '$runtime')" >&2
    exit 1
  fi
  export KESTRELITE_HYPOTHESIS_PROFILE=${KESTRELITE_HYPOTHESIS_PROFILE:-sanitize}
  # -s: pytest's capture would swallow a report and leave only the exit code;
  # no:faulthandler: its signal handlers get in the way of the sanitizer's.
  set +e
  # LeakSanitizer looks once, when the session ends and the interpreter is still whole
  # (tests/python/conftest.py): at exit it would report what the interpreter never frees.
  env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc KESTRELITE_LEAK_CHECK=1 \
    ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:leak_check_at_exit=0}" \
    LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$repo/tests/python/lsan.supp:print_suppressions=0}" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    "${pytest[@]}" -s -p no:faulthandler "$@" 2>&1 | tee "$scratch/output.txt"
  status=${PIPESTATUS[0]}
  set -e
  reports=$(grep -c -E 'ERROR: (AddressSanitizer|LeakSanitizer)|: runtime error: ' \
    "$scratch/output.txt" || true)
  if [ "$reports" -gt 0 ]; then
    echo "error: $reports sanitizer report line(s) above (pytest exit code $status)" >&2
    [ "$status" -ne 0 ] || status=1
  fi
fi

if [ "$status" -eq 5 ]; then
  echo "error: pytest collected no tests (arguments: ${*:-testpaths of pytest.ini})" >&2
  exit 1
fi
exit "$status"
