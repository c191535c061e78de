#!/usr/bin/env bash
# Runs every test:
#   1. installs what building and testing need (scripts/deps.sh);
#   2. build/      Release, warnings are errors: C++ unit tests, the Python suites under
#                  Debian's python3 and each pyenv CPython 3.9-3.13, the packaging suite;
#   3. build-asan/ AddressSanitizer + UndefinedBehaviorSanitizer (assertions on): the unit
#                  tests and the Python suites under Debian's python3, LeakSanitizer on;
#   4. build-coverage/ (scripts/coverage.sh) the unit tests and the Python suite with gcov
#                  counters: prints line and branch coverage of src/ and fails below the
#                  floors set here;
#   5. build-fuzz/  (scripts/fuzz.sh) clang with the sanitizers and the fuzzers' coverage:
#                  a bounded run of every libFuzzer and atheris harness from fuzz/corpus/;
#   6. build-aarch64/ (scripts/aarch64.sh) the module cross-built for aarch64: its unit
#                  tests and the Python suite under qemu, and its manylinux wheel.
# Configure and build output go to a log in the build folder (its tail is printed when a
# step fails); ctest output is shown as it runs. Exits non-zero if any step failed.
#
# Environment: KESTRELITE_JOBS (default 2) for the build and ctest.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

jobs=${KESTRELITE_JOBS:-2}
failed=()
report=()
passed_total=0
failed_total=0
skipped_total=0

# Runs one step, logging to $log when it is not empty, and records its time and result.
step() {
  local name=$1 log=$2
  shift 2
  local start=$SECONDS status=0
  if [ -n "$log" ]; then
    "$@" >"$log" 2>&1 || status=$?
  else
    "$@" || status=$?
  fi
  local took=$((SECONDS - start))
  if [ $status -eq 0 ]; then
    report+=("$(printf '  ok      %4d s  %s' "$took" "$name")")
    echo "==> $name: ok ($took s)"
  else
    failed+=("$name")
    report+=("$(printf '  FAILED  %4d s  %s' "$took" "$name")")
    echo "==> $name: FAILED (exit $status, $took s)"
    if [ -n "$log" ]; then
      echo "--- last lines of $log:"
      tail -n 60 "$log"
      echo "---"
    fi
  fi
  return "$status"
}

# Runs ctest in $1, shows its output and adds its per-test results to the totals.
run_ctest() {
  local dir=$1 status=0
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" 2>&1 | tee "$dir/ctest.log"
  status=${PIPESTATUS[0]}
  local passed failed_here skipped
  passed=$(grep -c -E 'Test +#[0-9]+: .* +Passed +[0-9.]+ sec' "$dir/ctest.log")
  skipped=$(grep -c -E 'Test +#[0-9]+: .*\*\*\*Skipped' "$dir/ctest.log")
  failed_here=$(grep -E 'Test +#[0-9]+: ' "$dir/ctest.log" \
    | grep -c -v -E ' Passed +[0-9.]+ sec|\*\*\*Skipped')
  # ctest shows the output of failed tests only: bring up why the skipped ones skipped.
  grep -h '^skipped: ' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null | sort
  passed_total=$((passed_total + passed))
  failed_total=$((failed_total + failed_here))
  skipped_total=$((skipped_total + skipped))
  if [ $((passed + failed_here)) -eq 0 ]; then
    echo "error: ctest in $dir ran no test" >&2
    return 1
  fi
  return "$status"
}

# Configures, builds and tests one build folder.
variant() {
  local dir=$1
  shift
  mkdir -p "$dir"
  step "configure $dir" "$dir/configure.log" \
    cmake -S . -B "$dir" -DPython3_EXECUTABLE=/usr/bin/python3 -DKESTRELITE_TESTS=ON "$@" \
    || return 0
  step "build $dir" "$dir/build.log" cmake --build "$dir" -j"$jobs" || return 0
  step "ctest $dir" "" run_ctest "$dir" || true
}

total_start=$SECONDS

if ! step "deps" "" bash scripts/deps.sh; then
  echo "test: cannot go on without the packages" >&2
  exit 1
fi

variant build -DCMAKE_BUILD_TYPE=Release -DKESTRELITE_WERROR=ON \
  -DKESTRELITE_SANITIZE=OFF -DKESTRELITE_COVERAGE=OFF
# Debug keeps assert() on; the sanitizer options bring their own -O1. Warnings are gated
# by the Release build: GCC's instrumented code warns where the plain code does not.
variant build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRELITE_WERROR=OFF \
  -DKESTRELITE_SANITIZE=ON -DKESTRELITE_COVERAGE=OFF

# Floors a little under what the suites reach, so that losing the tests of a path fails.
mkdir -p build-coverage
step "coverage" build-coverage/run.log env KESTRELITE_COVERAGE_MIN_LINES=95 \
  KESTRELITE_COVERAGE_MIN_BRANCHES="${KESTRELITE_COVERAGE_MIN_BRANCHES:-83}" \
  KESTRELITE_HYPOTHESIS_PROFILE=quick bash scripts/coverage.sh || true
grep -E '^(lines|functions|branches): ' build-coverage/run.log 2>/dev/null | sed 's/^/  coverage /'

# A bounded run of every coverage-guided fuzz harness from the corpus kept in fuzz/corpus/.
mkdir -p build-fuzz
step "fuzz" build-fuzz/run.log bash scripts/fuzz.sh || true

# The aarch64 module, its unit tests and Python suite under qemu, and its wheel.
step "aarch64" "" bash scripts/aarch64.sh build-aarch64 || true

echo
echo "summary ($((SECONDS - total_start)) s):"
printf '%s\n' "${report[@]}"
echo "ctest: $passed_total passed, $failed_total failed, $skipped_total skipped"
if [ ${#failed[@]} -gt 0 ]; then
  echo "test: failed: ${failed[*]}" >&2
  exit 1
fi
