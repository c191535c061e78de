#!/usr/bin/env bash
# Runs the hostile-argument fuzzing with many more examples per method than the test run.
#
#   scripts/fuzz-long.sh BUILD_DIR [EXAMPLES] [PYTEST_ARG...]
#
# EXAMPLES per method defaults to 3000 (about 5 minutes on a plain build of an idle 2-core
# machine, far longer when it is shared). A sanitizer build folder is run under the sanitizer
# runtime, about five times slower: narrow it with a PYTEST_ARG such as
# -k "set_initial_state or diff_table". Hypothesis prints, per method, how many examples ran
# and which outcomes and misbehaviours they reached, a walk failure by its message.
#
# Each run draws new examples from a seed it prints, unlike the test run's fixed ones:
# KESTRELITE_FUZZ_SEED=N draws those of an earlier run again, to replay what it found.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [EXAMPLES] [PYTEST_ARG...]" >&2
  exit 2
fi
build_dir=$1
shift
examples=3000
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  examples=$1
  shift
fi
repo=$(cd "$(dirname "$0")/.." && pwd)

sanitize=()
if grep -q '^KESTRELITE_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt" 2>/dev/null; then
  sanitize=(--sanitize)
fi

export KESTRELITE_FUZZ_EXAMPLES=$examples
export KESTRELITE_FUZZ_SEED=${KESTRELITE_FUZZ_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
echo "fuzz-long: $examples examples per method, seed $KESTRELITE_FUZZ_SEED" \
  "(KESTRELITE_FUZZ_SEED=$KESTRELITE_FUZZ_SEED replays them)"
exec bash "$repo/scripts/run-pytest.sh" "${sanitize[@]}" /usr/bin/python3 "$build_dir" \
  "$repo/tests/python/test_fuzz.py" --hypothesis-show-statistics "$@"
