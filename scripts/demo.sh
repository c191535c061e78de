#!/usr/bin/env bash
# Builds the module and walks one row through it: migrate, insert, track, update, batch-load.
#
#   scripts/demo.sh                            # SQLite in memory, nothing else needed
#   scripts/demo.sh --postgres DSN             # a PostgreSQL server of yours (asyncpg)
#   scripts/demo.sh --mysql HOST:PORT:USER:DB  # a MySQL/MariaDB server of yours (PyMySQL)
#
# Installs the build packages first (as root, or with sudo), builds the module into build/
# and runs examples/road_of_a_row.py with Debian's python3.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh build
for arg in "$@"; do
  case "$arg" in
    --postgres | --mysql) bash scripts/deps.sh db ;;
  esac
done

mkdir -p build
log=build/demo-build.log
if ! { cmake -S . -B build -DPython3_EXECUTABLE=/usr/bin/python3 &&
       cmake --build build -j2 --target _kestrelite_rs; } >"$log" 2>&1; then
  echo "demo: the build failed; last lines of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
echo "demo: built build/_kestrelite_rs.abi3.so (log: $log)"
PYTHONPATH=build exec /usr/bin/python3 examples/road_of_a_row.py "$@"
