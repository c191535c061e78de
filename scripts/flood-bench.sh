#!/usr/bin/env bash
# Builds the module and bench/flood_bench.cpp, then prints the two hash-flooding tables: the
# core's tables filled with crafted and ordinary keys under the seed the keys were crafted for
# and under a random one (flood_bench), and the module's calls with the same keys
# (bench/flood.py). Never part of the test run; nothing here asserts a speed.
#
#   scripts/flood-bench.sh [--build-dir DIR] [--python PYTHON] [--repeats N]
#
#   --build-dir D  the CMake build folder (default build)
#   --python P     the interpreter that runs bench/flood.py (default /usr/bin/python3)
#   --repeats N    calls per row of bench/flood.py (default 9)
set -euo pipefail
cd "$(dirname "$0")/.."

python=/usr/bin/python3
build_dir=build
repeats=9
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir | --python | --repeats)
      [ $# -ge 2 ] || { echo "flood-bench: $1 needs a value" >&2; exit 2; }
      case "$1" in
        --build-dir) build_dir=$2 ;;
        --python) python=$2 ;;
        --repeats) repeats=$2 ;;
      esac
      shift 2
      ;;
    -h | --help)
      sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "flood-bench: unknown argument $1" >&2
      exit 2
      ;;
  esac
done

bash scripts/deps.sh build
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
log=$build_dir/flood-build.log
: >"$log"
fail() {
  echo "flood-bench: $1 failed; last lines of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
}
cmake -S . -B "$build_dir" -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=Release \
  -DKESTRELITE_SANITIZE=OFF -DKESTRELITE_COVERAGE=OFF -DKESTRELITE_BENCH=ON >>"$log" 2>&1 \
  || fail "configure"
cmake --build "$build_dir" -j"${KESTRELITE_JOBS:-2}" --target _kestrelite_rs flood_bench \
  >>"$log" 2>&1 || fail "build"
flood_bench=$(find "$build_dir" -type f -name flood_bench -perm -u+x | head -n 1)

echo "== the core's tables (flood_bench) =="
"$flood_bench"
echo
echo "== the module's calls (bench/flood.py) =="
PYTHONPATH="$build_dir" PYTHONDONTWRITEBYTECODE=1 \
  "$python" bench/flood.py --flood-bench "$flood_bench" --repeats "$repeats"
