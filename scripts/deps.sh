#!/usr/bin/env bash
# Installs the Debian packages that building and testing need.
#
#   scripts/deps.sh [GROUP...]     groups: build test package db fuzz cross bench
#                                  (default: all but bench)
#
# Idempotent: when every package of the asked groups is already installed it touches
# nothing. Otherwise it runs `apt-get update` once and installs what is missing. The apt
# output goes to a log file; on failure the tail of that log is printed.
set -euo pipefail

# ---- package groups -------------------------------------------------------------
# Compiling the module and the C++ unit tests.
group_build=(cmake g++ make libgtest-dev libxxhash-dev libdragonbox-dev python3-dev binutils)
# Running the test suites: the Python test requirements come from the package index into
# one virtual environment per interpreter (requirements/test.txt, scripts/test-env.sh), so
# only venv support is needed here; the sanitizer runtime comes with g++, valgrind and gcovr
# for the slower checks, readelf/nm from binutils, flock from util-linux.
group_test=(python3-venv gcovr valgrind binutils util-linux)
# The packaging tests: fresh virtual environments of Debian's interpreter (the build tools,
# twine, auditwheel and mypy are test requirements).
group_package=(python3-venv)
# The database integration tests: local servers. Their drivers for the tests are test
# requirements; Debian's are for scripts/demo.sh run against a server of your own.
group_db=(postgresql mariadb-server python3-asyncpg python3-pymysql)
# The coverage-guided fuzzers: clang with libFuzzer and the sanitizer runtimes (clang 14 cannot
# compile the C++20 ranges of GCC 12's standard library that the binding uses), and a virtual
# environment for the Python fuzzing engine (pinned in requirements/test.txt).
group_fuzz=(clang-16 libclang-rt-16-dev python3-venv python3-pip)
# The aarch64 leg (scripts/aarch64.sh): the cross compiler, user-mode emulation to run its
# output, and mmdebstrap to unpack an arm64 Debian tree to build against and run in.
group_cross=(g++-aarch64-linux-gnu qemu-user mmdebstrap)
# The peer ORMs of the benchmark table's comparison rows (scripts/bench.sh), never tested.
group_bench=(python3-sqlalchemy python3-peewee python3-django)

all_groups=(build test package db fuzz cross)

usage() {
  echo "usage: $0 [GROUP...]   (groups: ${all_groups[*]} bench; default: all but bench)" >&2
  exit 2
}

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=("${all_groups[@]}")

wanted=()
for group in "${groups[@]}"; do
  case "$group" in
    build) wanted+=("${group_build[@]}") ;;
    test) wanted+=("${group_test[@]}") ;;
    package) wanted+=("${group_package[@]}") ;;
    db) wanted+=("${group_db[@]}") ;;
    fuzz) wanted+=("${group_fuzz[@]}") ;;
    cross) wanted+=("${group_cross[@]}") ;;
    bench) wanted+=("${group_bench[@]}") ;;
    -h | --help) usage ;;
    *) echo "deps: unknown group '$group'" >&2; usage ;;
  esac
done
# One name once, in a stable order.
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | awk '!seen[$0]++')

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: ${groups[*]}: all ${#wanted[@]} packages present"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  else
    echo "deps: missing ${missing[*]}; run this script as root to install them" >&2
    exit 1
  fi
fi

log=${KESTRELITE_DEPS_LOG:-${TMPDIR:-/tmp}/kestrelite-deps.log}
: >"$log"
start=$SECONDS
# Another apt run (a colleague's, an unattended upgrade) may hold the lock: wait for it.
apt_options=(-o DPkg::Lock::Timeout=600)
fail() {
  echo "deps: $1 failed after $((SECONDS - start)) s; last lines of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
}
"${as_root[@]}" apt-get "${apt_options[@]}" update >>"$log" 2>&1 || fail "apt-get update"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get "${apt_options[@]}" install -y --no-install-recommends "${missing[@]}" \
  >>"$log" 2>&1 || fail "apt-get install ${missing[*]}"
echo "deps: ${groups[*]}: installed ${#missing[@]} of ${#wanted[@]} packages" \
  "(${missing[*]}) in $((SECONDS - start)) s; log: $log"
