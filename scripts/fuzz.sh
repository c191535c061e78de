#!/usr/bin/env bash
# Runs every coverage-guided fuzz harness for a bounded time, starting from the corpus kept in
# fuzz/corpus/<harness>/, and fails on any finding.
#
#   scripts/fuzz.sh [SECONDS]     SECONDS per harness (default 12); two harnesses run at once
#
# Builds build-fuzz/ (clang, AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzer's
# coverage): the libFuzzer harnesses of fuzz/ and an instrumented module, which the Python
# harness drives under the sanitizer runtime that the Python engine ships (preloaded). The
# engine comes from the pinned test environment of Debian's python3 (scripts/test-env.sh). New inputs go to
# build-fuzz/corpus/<harness>/, never into the repository; a finding is saved as
# build-fuzz/findings/<harness>-crash-* (replay it: the harness binary, or the Python harness
# under the same preload, with the file as its only argument).
#
# Environment: KESTRELITE_FUZZ_CXX (default clang++-16), KESTRELITE_FUZZ_BUILD (default
# build-fuzz), KESTRELITE_JOBS (default 2), KESTRELITE_FUZZ_MERGE=1 to replace each
# fuzz/corpus/<harness>/ afterwards by the fewest inputs, old and new, that reach every edge
# they reach (scripts/fuzz-long-native.sh sets it).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

seconds=${1:-12}
build=${KESTRELITE_FUZZ_BUILD:-build-fuzz}
cxx=${KESTRELITE_FUZZ_CXX:-clang++-16}
jobs=${KESTRELITE_JOBS:-2}
native_harnesses=(core_text_fuzzer statement_fuzzer ordered_table_fuzzer)
start=$SECONDS

mkdir -p "$build"
build=$(cd "$build" && pwd)
if ! cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug \
    -DKESTRELITE_FUZZ=ON -DKESTRELITE_TESTS=OFF -DKESTRELITE_BENCH=OFF \
    -DPython3_EXECUTABLE=/usr/bin/python3 >"$build/configure.log" 2>&1; then
  tail -n 30 "$build/configure.log" >&2
  echo "fuzz: configure failed" >&2
  exit 1
fi
if ! cmake --build "$build" --target fuzzers -j"$jobs" >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  echo "fuzz: build failed" >&2
  exit 1
fi
# The test environment of Debian's python3, which holds the pinned engine.
venv_python=$(bash scripts/test-env.sh /usr/bin/python3)
venv_bin=$(dirname "$venv_python")
preload="$("$venv_python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
echo "fuzz: built in $((SECONDS - start)) s; $seconds s per harness"

findings=$build/findings
mkdir -p "$findings"
# A size that cannot be allocated is answered with bad_alloc (MemoryError), as without the
# sanitizer, instead of a report.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Runs harness $1 (the rest: the command) and leaves its log in the build folder.
run() {
  local name=$1
  shift
  mkdir -p "$build/corpus/$name" "fuzz/corpus/$name"
  "$@" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -print_final_stats=1 \
    -artifact_prefix="$findings/$name-" "$build/corpus/$name" "fuzz/corpus/$name" \
    >"$build/$name.log" 2>&1
}

names=()
pids=()
launch() {
  # At most two harnesses at a time: the machine has two cores.
  if [ ${#pids[@]} -ge 2 ]; then
    wait_one 0
  fi
  names+=("$1")
  run "$@" &
  pids+=($!)
}
failed=()
wait_one() {
  local i=$1 status=0
  wait "${pids[$i]}" || status=$?
  local name=${names[$i]} log=$build/${names[$i]}.log
  local runs
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  local cov
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  if [ "$status" -eq 0 ]; then
    echo "fuzz: $name: ok, $runs runs, $cov"
  else
    failed+=("$name")
    echo "fuzz: $name: FINDING (exit $status); last lines of $log:"
    grep -v '^#' "$log" | tail -n 40
  fi
  names=("${names[@]:0:$i}" "${names[@]:$((i + 1))}")
  pids=("${pids[@]:0:$i}" "${pids[@]:$((i + 1))}")
}

for name in "${native_harnesses[@]}"; do
  launch "$name" "$build/$name"
done
# The engine runs the harness again by its own path to merge or minimise inputs: its
# "python3" is the one of the environment.
launch module_fuzzer env PATH="$venv_bin:$PATH" LD_PRELOAD="$preload" \
  PYTHONPATH="$build" fuzz/module_fuzzer.py
while [ ${#pids[@]} -gt 0 ]; do
  wait_one 0
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: $((SECONDS - start)) s in all"
  echo "fuzz: findings in: ${failed[*]} (inputs in $findings)" >&2
  exit 1
fi

# Edges only, not hit counts: that keeps the kept corpus to tens of inputs.
merge() {
  local name=$1
  shift
  local fresh=$build/merged/$name
  rm -rf "$fresh"
  mkdir -p "$fresh"
  "$@" -set_cover_merge=1 -use_counters=0 "$fresh" "fuzz/corpus/$name" "$build/corpus/$name" \
    >"$build/$name-merge.log" 2>&1 || { tail -n 20 "$build/$name-merge.log" >&2; return 1; }
  rm -rf "fuzz/corpus/$name"
  mv "$fresh" "fuzz/corpus/$name"
  echo "fuzz: $name: corpus of $(find "fuzz/corpus/$name" -type f | wc -l) inputs"
}
if [ "${KESTRELITE_FUZZ_MERGE:-0}" = 1 ]; then
  for name in "${native_harnesses[@]}"; do
    merge "$name" "$build/$name"
  done
  merge module_fuzzer env PATH="$venv_bin:$PATH" LD_PRELOAD="$preload" PYTHONPATH="$build" \
    fuzz/module_fuzzer.py
fi
echo "fuzz: $((SECONDS - start)) s in all"
