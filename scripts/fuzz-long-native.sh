#!/usr/bin/env bash
# Runs every coverage-guided fuzz harness (the libFuzzer ones of fuzz/ and the Python one over
# the instrumented module) for longer than the test run, then folds what they reached into the
# kept corpus: fuzz/corpus/<harness>/ becomes the fewest inputs that reach every edge reached.
#
#   scripts/fuzz-long-native.sh SECONDS     SECONDS per harness, two harnesses at a time
#
# New inputs of every run stay in build-fuzz/corpus/, so runs add up. Exits non-zero on a
# finding (saved in build-fuzz/findings/) and then leaves the kept corpus as it was. Review
# `git status fuzz/corpus` afterwards and commit the corpus when it grew.
set -euo pipefail
if [ $# -ne 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
KESTRELITE_FUZZ_MERGE=1 exec bash "$(dirname "$0")/fuzz.sh" "$1"
