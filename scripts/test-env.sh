#!/usr/bin/env bash
# Prints the python of a virtual environment made from PYTHON with the pinned test
# requirements (requirements/test.txt) installed from the package index.
#
#   scripts/test-env.sh PYTHON
#
# Each environment is made once and kept in a folder named by the requirements file's hash
# and the interpreter (its real path and version), so later runs reuse it and an edit of the
# file gives new ones. Concurrent runs for the same interpreter wait for the first to finish.
#
# Environment: KESTRELITE_VENV_DIR, where the environments live (default
# ${XDG_CACHE_HOME:-~/.cache}/kestrelite/venvs).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 PYTHON" >&2
  exit 2
fi
python=$1
repo=$(cd "$(dirname "$0")/.." && pwd)
requirements=$repo/requirements/test.txt

if [ ! -x "$python" ]; then
  echo "error: interpreter $python not found" >&2
  exit 1
fi

real=$(readlink -f "$python")
version=$("$python" -c 'import platform; print(platform.python_version())')
files_hash=$(sha256sum "$requirements" | cut -c1-16)
interpreter_hash=$(printf '%s' "$real" | sha256sum | cut -c1-8)
root=${KESTRELITE_VENV_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrelite/venvs}/$files_hash
venv=$root/cpython-$version-$interpreter_hash

if [ ! -e "$venv/.complete" ]; then
  mkdir -p "$root"
  exec 9>"$venv.lock"
  flock 9
  if [ ! -e "$venv/.complete" ]; then
    log=$venv.log
    start=$SECONDS
    rm -rf "$venv"
    status=0
    {
      "$python" -m venv "$venv" &&
        # The installer first, alone: the resolver of an older one backtracks endlessly.
        "$venv/bin/python" -m pip install --quiet "$(grep -E '^pip==' "$requirements")" &&
        "$venv/bin/python" -m pip install --quiet --requirement "$requirements"
    } >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
      echo "error: installing $requirements for $python failed; last lines of $log:" >&2
      grep -v '^WARNING: ' "$log" | tail -n 30 >&2
      rm -rf "$venv"
      exit 1
    fi
    touch "$venv/.complete"
    echo "test-env: made $venv in $((SECONDS - start)) s" >&2
  fi
  exec 9>&-
fi
echo "$venv/bin/python"
