#!/usr/bin/env bash
# Measures how much of src/ the tests run: builds with gcov instrumentation into
# build-coverage/, runs the C++ unit tests and the Python suite there (under Debian's
# python3 and, when pyenv has it, CPython 3.9), and prints gcovr's line and branch summary
# for src/ (throw branches excluded: they are the compiler's exception edges, not decisions
# of ours) with each file's uncovered lines, then the branch figures per file.
#
#   scripts/coverage.sh [PYTEST_ARG...]     (default: tests/python)
#
# Environment: KESTRELITE_JOBS (default 2); KESTRELITE_COVERAGE_MIN_LINES and
# KESTRELITE_COVERAGE_MIN_BRANCHES, percentages below which the script fails (unset: it
# only reports).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${KESTRELITE_JOBS:-2}
build=build-coverage
pytest_args=("$@")
[ ${#pytest_args[@]} -gt 0 ] || pytest_args=(tests/python)

mkdir -p "$build"
cmake -S . -B "$build" -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=Debug \
  -DKESTRELITE_COVERAGE=ON -DKESTRELITE_SANITIZE=OFF -DKESTRELITE_WERROR=OFF \
  -DKESTRELITE_TESTS=ON >"$build/configure.log" 2>&1 || { tail -n 40 "$build/configure.log"; exit 1; }
cmake --build "$build" -j"$jobs" >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log"; exit 1; }

# Counts from an earlier run would add up with this one's.
find "$build" -name '*.gcda' -delete

status=0
"$build/core_tests" --gtest_brief=1 || status=$?
bash scripts/run-pytest.sh /usr/bin/python3 "$build" "${pytest_args[@]}" || status=$?
# CPython 3.9 takes the paths that later versions replace (no borrowed UTF-8, no vectorcall
# methods in the stable ABI); its run adds to the same counts. Absent, it is skipped.
python39=0
bash scripts/run-pytest.sh cpython-3.9 "$build" "${pytest_args[@]}" || python39=$?
[ $python39 -eq 0 ] || [ $python39 -eq 77 ] || status=$python39

gate=()
[ -z "${KESTRELITE_COVERAGE_MIN_LINES:-}" ] || gate+=(--fail-under-line "$KESTRELITE_COVERAGE_MIN_LINES")
[ -z "${KESTRELITE_COVERAGE_MIN_BRANCHES:-}" ] || gate+=(--fail-under-branch "$KESTRELITE_COVERAGE_MIN_BRANCHES")

echo
echo "coverage of src/ (lines, then branches, per file):"
gcovr -r . --object-directory "$build" --filter 'src/' --exclude-throw-branches \
  --exclude-unreachable-branches --print-summary --sort-percentage "${gate[@]}" || status=$?
gcovr -r . --object-directory "$build" --filter 'src/' --exclude-throw-branches \
  --exclude-unreachable-branches --branches --sort-percentage | sed -n '1,40p'
exit $status
