#!/usr/bin/env bash
# Runs a representative part of the Python suites under valgrind's memcheck, against the
# module in a plain (not sanitizer) build folder. Memcheck sees what AddressSanitizer cannot:
# bad pointers handed to the uninstrumented interpreter, reads of uninitialised memory.
#
#   scripts/valgrind.sh BUILD_DIR [PYTEST_ARG...]
#
# With no PYTEST_ARG it runs the hostile-argument fuzzing (a few examples per method), the
# binding tests and the failing-allocation rounds. The exit code is memcheck's 99 when it
# reported any error, even one after which every test passed; otherwise pytest's.
#
# Environment: KESTRELITE_FUZZ_EXAMPLES (default 6) examples per method.
set -euo pipefail

readonly kMemcheckError=99

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [PYTEST_ARG...]" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)
shift
repo=$(cd "$(dirname "$0")/.." && pwd)

if ! command -v valgrind >/dev/null 2>&1; then
  echo "error: valgrind is not installed (scripts/deps.sh test)" >&2
  exit 1
fi
if grep -q '^KESTRELITE_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt" 2>/dev/null; then
  echo "error: $build_dir is a sanitizer build; memcheck needs a plain one" >&2
  exit 2
fi

tests=("$@")
if [ ${#tests[@]} -eq 0 ]; then
  tests=(tests/python/test_fuzz.py tests/python/test_binding.py tests/python/test_out_of_memory.py)
fi

suppressions=(--suppressions="$repo/scripts/valgrind.supp")
if [ -f /usr/lib/valgrind/python3.supp ]; then
  suppressions+=(--suppressions=/usr/lib/valgrind/python3.supp)
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrelite-valgrind.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

export PYTHONPATH=$build_dir
export KESTRELITE_BUILD_DIR=$build_dir
export HYPOTHESIS_STORAGE_DIRECTORY=$scratch/hypothesis
export PYTHONPYCACHEPREFIX=$build_dir/pycache
export KESTRELITE_HYPOTHESIS_PROFILE=${KESTRELITE_HYPOTHESIS_PROFILE:-sanitize}
export KESTRELITE_FUZZ_EXAMPLES=${KESTRELITE_FUZZ_EXAMPLES:-6}
# Memcheck tracks every block only when the interpreter allocates with plain malloc.
export PYTHONMALLOC=malloc

# Debian's interpreter, whose suppression file comes with valgrind, in its test environment.
python=$(bash "$repo/scripts/test-env.sh" /usr/bin/python3)

cd "$repo"
status=0
valgrind -q --error-exitcode=$kMemcheckError "${suppressions[@]}" --leak-check=no \
  "$python" -m pytest -c "$repo/pytest.ini" --rootdir "$repo" -q -p no:faulthandler \
  "${tests[@]}" || status=$?

case $status in
  0) ;;
  "$kMemcheckError") echo "error: memcheck reported errors (see above)" >&2 ;;
  5) echo "error: pytest collected no tests (arguments: ${tests[*]})" >&2; status=1 ;;
  *) echo "error: pytest exited with $status under memcheck" >&2 ;;
esac
exit $status
