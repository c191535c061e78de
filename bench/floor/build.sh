#!/usr/bin/env bash
# Builds the floor extension for one interpreter.
#
#   bench/floor/build.sh PYTHON OUT_DIR
#
# Compiles floor.c against PYTHON's headers with the limited API of 3.9 into
# OUT_DIR/_kestrelite_floor.abi3.so (no libpython link: the interpreter supplies the
# symbols when it loads the file). Rebuilds only when the source or the headers changed.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 PYTHON OUT_DIR" >&2
  exit 2
fi
python=$1
out_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
if [ ! -f "$include/Python.h" ]; then
  echo "floor: no Python.h in $include (the interpreter's development headers are missing)" >&2
  exit 1
fi
mkdir -p "$out_dir"
target=$out_dir/_kestrelite_floor.abi3.so
if [ ! -f "$target" ] || [ "$here/floor.c" -nt "$target" ] || [ "$include/Python.h" -nt "$target" ]; then
  "${CC:-cc}" -std=c11 -O2 -fPIC -shared -fvisibility=hidden -Wall -Wextra -Werror \
    -I"$include" "$here/floor.c" -o "$target.tmp"
  mv -f "$target.tmp" "$target"
fi
echo "$target"
