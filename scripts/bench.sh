#!/usr/bin/env bash
# Builds the module, the floor extension and the native tracker benchmark, then prints the
# benchmark table (bench/run.py). Never part of the test run; nothing here asserts a speed.
#
#   scripts/bench.sh [--quick] [--python PYTHON] [--build-dir DIR] [RUN_PY_ARG...]
#
#   --quick        3 short repeats per row instead of 7 of at least 0.2 s
#   --python P     the interpreter that runs the table (default /usr/bin/python3, Debian's
#                  3.11, the only one with the peer ORMs); a path, a command name, or
#                  cpython-3.X for the newest 3.X.* that pyenv has
#   --build-dir D  the module's CMake build folder (default build)
# Other arguments go to bench/run.py (--show-sql, --only W1-pos,W5, --repeats N, ...).
#
# Installs what it needs with apt-get when run as root: the build and bench groups of
# scripts/deps.sh (the latter the peer ORMs, whose rows read n/a without them). Build output
# goes to a log in the build folder; its tail is printed when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

python=/usr/bin/python3
build_dir=build
run_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --python)
      [ $# -ge 2 ] || { echo "bench: --python needs a value" >&2; exit 2; }
      python=$2
      shift 2
      ;;
    --build-dir)
      [ $# -ge 2 ] || { echo "bench: --build-dir needs a value" >&2; exit 2; }
      build_dir=$2
      shift 2
      ;;
    -h | --help)
      sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      run_args+=("$1")
      shift
      ;;
  esac
done

case "$python" in
  cpython-3.*)
    minor=${python#cpython-}
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    found=$(ls -d "$root/versions/$minor".[0-9]* 2>/dev/null | grep -E "/$minor\.[0-9]+$" \
      | sort -V | tail -n 1 || true)
    if [ -z "$found" ] || [ ! -x "$found/bin/python$minor" ]; then
      echo "bench: CPython $minor not found under $root/versions" >&2
      exit 1
    fi
    python=$found/bin/python$minor
    ;;
  */*) ;;
  *) python=$(command -v "$python" || true) ;;
esac
if [ -z "$python" ] || [ ! -x "$python" ]; then
  echo "bench: interpreter not found" >&2
  exit 1
fi

# ---- packages -------------------------------------------------------------------------------
bash scripts/deps.sh build
bash scripts/deps.sh bench || echo "bench: the peer ORMs are missing: their rows will read n/a" >&2

# ---- builds ---------------------------------------------------------------------------------
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
log=$build_dir/bench-build.log
: >"$log"
fail() {
  echo "bench: $1 failed; last lines of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
}
# An optimised, uninstrumented module whatever the folder was configured with before.
cmake -S . -B "$build_dir" -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=Release \
  -DKESTRELITE_SANITIZE=OFF -DKESTRELITE_COVERAGE=OFF >>"$log" 2>&1 || fail "configure"
cmake --build "$build_dir" -j"${KESTRELITE_JOBS:-2}" --target _kestrelite_rs >>"$log" 2>&1 \
  || fail "module build"

native_bench=
if [ -f bench/native_tracker_bench.cpp ]; then
  if cmake --build "$build_dir" --target help 2>/dev/null | grep -q 'native_tracker_bench'; then
    cmake --build "$build_dir" -j"${KESTRELITE_JOBS:-2}" --target native_tracker_bench \
      >>"$log" 2>&1 || fail "native_tracker_bench build"
    native_bench=$(find "$build_dir" -type f -name native_tracker_bench -perm -u+x | head -n 1)
  else
    # The top-level project does not include bench/: build it from the core library directly.
    cmake --build "$build_dir" -j"${KESTRELITE_JOBS:-2}" --target kestrelite_core >>"$log" 2>&1 \
      || fail "core library build"
    native_bench=$build_dir/bench-native/native_tracker_bench
    mkdir -p "$(dirname "$native_bench")"
    if [ ! -x "$native_bench" ] || [ bench/native_tracker_bench.cpp -nt "$native_bench" ] ||
      [ "$build_dir/libkestrelite_core.a" -nt "$native_bench" ]; then
      "${CXX:-g++}" -std=c++20 -O3 -DNDEBUG -Wall -Wextra -Isrc bench/native_tracker_bench.cpp \
        "$build_dir/libkestrelite_core.a" -o "$native_bench" >>"$log" 2>&1 \
        || fail "native_tracker_bench build"
    fi
  fi
fi

tag=$("$python" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
floor_so=$(bash bench/floor/build.sh "$python" "$build_dir/bench-floor/$tag" 2>>"$log") \
  || fail "floor extension build"

# ---- the table ------------------------------------------------------------------------------
native_arg=()
[ -n "$native_bench" ] && native_arg=(--native-bench "$native_bench")
export PYTHONPATH="$build_dir:$(dirname "$floor_so")"
export PYTHONDONTWRITEBYTECODE=1
exec "$python" "$repo/bench/run.py" "${native_arg[@]}" "${run_args[@]}"
