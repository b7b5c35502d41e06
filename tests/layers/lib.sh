# SPDX-License-Identifier: MIT
# Shared by the test layers (sourced, never run). A layer is a bash script in
# this folder whose name starts with a number; it exits 0 when it passed,
# 77 when it cannot run here (a failure under CI=true), anything else when it
# failed. Each layer sources this file first, so that it runs the same
# whether tests/run starts it or a developer does (bash tests/layers/NN-x.sh):
# any failing command ends it, and it runs from the repository root.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
source tools/logged.sh

jobs=$(nproc 2>/dev/null || echo 2)

# Every layer that does not run, or not to its end, says why and exits 77
# through one of these two.
# A limit of this machine itself (not root, not a git clone, no binfmt_misc):
# the layer is skipped, in CI too.
skip() {
  echo "skipped: $*"
  exit 77
}

# What the layer's own files can mend (a missing package): skipped on a
# developer's machine, failed in CI.
cannot_run() {
  echo "cannot run: $*"
  if [ "${CI:-}" = true ]; then exit 1; fi
  exit 77
}

# Installs the Debian packages that are missing (as root), or cannot run.
# Names may carry an architecture (wine32:i386); any :i386 name enables that
# architecture first.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || cannot_run "missing packages ${missing[*]} (run as root to install them)"
  echo "installing ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  logged /tmp/tarnwick-apt.log install_packages "${missing[@]}" || cannot_run "could not install ${missing[*]}"
}

# Installs the named packages from freshly updated lists.
install_packages() {
  refresh_package_lists && apt-get -o DPkg::Lock::Timeout=900 install -y -q --no-install-recommends "$@"
}

# Updates apt's package lists, trying again after a pause when an update
# reports errors: an archive whose index is being synced answers with files
# of the wrong size for a minute or so. Lists that stay stale are not fatal
# by themselves, since the packages may still be found in them; only the
# install that follows decides.
refresh_package_lists() {
  local attempt
  for attempt in 1 2 3; do
    apt-get -o DPkg::Lock::Timeout=900 update -q && return 0
    [ "$attempt" -lt 3 ] && { echo "apt-get update failed (attempt $attempt); trying again in 15 s"; sleep 15; }
  done
  echo "apt-get update kept failing; installing from the lists as they are"
  return 0
}

# What the layers compile is kept outside the clone, so that the next run on
# this machine, in this clone or a fresh one, finds it: ccache's objects and
# GoogleTest built for each toolchain. TARNWICK_CACHE moves it.
if [ "$(id -u)" -eq 0 ]; then cache_root=/var/cache/tarnwick; else cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick; fi
cache_root=${TARNWICK_CACHE:-$cache_root}

# Sets launcher to the cmake arguments that compile through ccache (installed
# as root; a developer without it builds without it). Paths under the clone
# are hashed relative to it and the build folder is not hashed, so build trees
# with the same flags share objects, whichever folder they are in.
use_ccache() {
  launcher=()
  command -v ccache >/dev/null || [ "$(id -u)" -ne 0 ] || need_packages ccache
  command -v ccache >/dev/null || return 0
  export CCACHE_DIR=${CCACHE_DIR:-$cache_root/ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
}

# Configures and builds build/NAME with the given cmake arguments, warnings
# as errors; only the target $build_target when that is set.
build() {
  local name=$1 launcher; shift
  mkdir -p build
  use_ccache
  logged "build/$name.configure.log" cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_WERROR=ON \
    -DTARNWICK_BUILD_TESTS=ON -DTARNWICK_BUILD_BENCH=ON "${launcher[@]}" "$@" || return 1
  local status=0
  cmake --build "build/$name" -j "$jobs" ${build_target:+--target "$build_target"} >"build/$name.build.log" 2>&1 \
    || status=$?
  # Compiler diagnostics and failures only, not progress lines.
  grep -v -E '^\[ *[0-9]+%\]|^(Scanning|Consolidate|Built target)|^gmake' "build/$name.build.log" || true
  return $status
}

# Sets gtest to the cmake argument that finds GoogleTest, built from Debian's
# sources with the toolchain file cmake/TOOLCHAIN.cmake and installed into
# the cache, where every later build for that toolchain finds it. The
# folder's name hashes the toolchain files and GoogleTest's version, so a
# change to either builds it anew. Built in a folder of its own and then
# moved into place, so two runs at once never see half an install.
gtest_for() {
  local toolchain=$1 key prefix work staged
  key=$( { cat cmake/"$toolchain".cmake cmake/linux-cross.cmake cmake/mingw.cmake
           dpkg-query -W -f='${Version}' googletest; } | sha256sum | cut -c1-16)
  prefix=$cache_root/gtest/$toolchain-$key
  gtest=(-DGTest_DIR="$prefix/lib/cmake/GTest")
  [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] || return 0
  echo "building GoogleTest for $toolchain into $prefix"
  work=build/gtest/$toolchain
  mkdir -p "$work" "$cache_root/gtest"
  staged=$(mktemp -d "$prefix.XXXXXX")
  logged "$work.log" build_gtest "$toolchain" "$work" "$staged" || { rm -rf "$staged"; return 1; }
  mv -T "$staged" "$prefix" 2>/dev/null || rm -rf "$staged"
}

# Builds GoogleTest from Debian's sources in the folder WORK with the
# toolchain file cmake/TOOLCHAIN.cmake, and installs it into PREFIX.
build_gtest() {
  local toolchain=$1 work=$2 prefix=$3 launcher
  use_ccache
  cmake -S /usr/src/googletest -B "$work" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$prefix" "${launcher[@]}" &&
    cmake --build "$work" -j "$jobs" && cmake --install "$work"
}

# A test that runs longer than test_timeout seconds is stopped and fails, so
# that a hang ends its layer instead of holding the whole run; the slowest
# tests (under coverage, valgrind or an emulator) take under half a minute.
# run_ctest applies it, and so does a layer that runs a test program itself.
test_timeout=600

# Runs the build's tests through CTest, printing every test's output.
run_ctest() {
  ctest --test-dir "build/$1" --output-on-failure --no-tests=error --timeout "$test_timeout" -V "${@:2}"
}

# Cross-builds build/NAME with the toolchain file cmake/TOOLCHAIN.cmake (and
# any further cmake arguments) and runs its whole suite under the emulator
# that the toolchain file or the arguments name. GoogleTest is built from
# Debian's sources for the target (gtest_for); benchmarks are left out.
# Emulated programs run many times slower, so the random-model tests take
# their quick setting; death tests fork without re-running the program, which
# qemu cannot follow. With --native first, the programs run on this machine
# itself: no emulator (one a build folder kept from an emulated run names is
# forgotten), and the suite as on the native build.
cross_suite() {
  local native=no emulator=() name toolchain gtest
  [ "$1" != --native ] || { native=yes emulator=(-UCMAKE_CROSSCOMPILING_EMULATOR); shift; }
  name=$1 toolchain=$2
  shift 2
  gtest_for "$toolchain" || return 1
  build "$name" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" "${gtest[@]}" -DTARNWICK_BUILD_BENCH=OFF \
    "${emulator[@]}" "$@" || return 1
  if [ "$native" = yes ]; then run_ctest "$name"
  else TARNWICK_QUICK=1 GTEST_DEATH_TEST_STYLE=fast run_ctest "$name"; fi
}

# The README's first command: the first line of the first code block of the
# README file README, as a new user copies it.
readme_first_command() {
  awk '/^```/ { if (open) exit; open = 1; next } open { print; exit }' "$1"
}

# Copies the files git knows of (tracked, or untracked and not ignored), as
# they are in the work tree now, into the new folder DEST: a clean copy of
# the tree with no build output in it.
copy_tree() {
  rm -rf "$1" && mkdir -p "$1"
  git ls-files -z --cached --others --exclude-standard \
    | while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done \
    | xargs -0 cp --parents -t "$1"
}

# How this machine runs 32-bit x86 programs, printed as one word:
#   native    the kernel runs them itself;
#   emulated  binfmt_misc hands them to qemu-i386 (a kernel without IA-32
#             emulation, or one that has it, once such an entry is registered:
#             the entry is machine-wide and takes precedence);
#   none      the kernel refuses them ("Exec format error").
# The probe is static, so that it needs no 32-bit loader, and prints the
# machine uname() names: an x86-64 kernel says x86_64 to its own 32-bit
# programs, qemu says i686. Needs i686-linux-gnu-gcc.
i386_mode() {
  local probe machine
  probe=$(mktemp)
  printf '#include <stdio.h>\n#include <sys/utsname.h>\nint main(void) { struct utsname u; return uname(&u) || puts(u.machine) < 0; }\n' \
    | i686-linux-gnu-gcc -static -x c - -o "$probe" || { rm -f "$probe"; return 1; }
  machine=$("$probe" 2>/dev/null) || machine=
  rm -f "$probe"
  case $machine in
    x86_64) echo native ;;
    "") echo none ;;
    *) echo emulated ;;
  esac
}

# Builds the C++ example against an installed library through find_package
# (tests/consumers/cpp, configured with the given cmake arguments) into
# OUT/cpp, then runs it and OUT/hello_c, the C example the caller built
# through pkg-config: each must load INSTALLED, the installed
# libtarnwick.so.MAJOR (or, with INSTALLED empty, a static library: no shared
# libtarnwick at all), and both must print the same events.
check_consumers() {
  local out=$1 installed=$2 program loaded major
  major=$(cmake -P cmake/version.cmake) && major=${major%%.*}
  shift 2
  logged "$out/cpp.configure.log" cmake -S tests/consumers/cpp -B "$out/cpp" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "$@" \
    || return 1
  grep "tarnwick $major" "$out/cpp.configure.log"
  logged "$out/cpp.build.log" cmake --build "$out/cpp" || return 1
  for program in "$out/hello_c" "$out/cpp/hello_cpp"; do
    if [ -z "$installed" ]; then
      ! ldd "$program" | grep libtarnwick || { echo "$program loads a shared libtarnwick"; return 1; }
    else
      loaded=$(ldd "$program" | awk -v soname="libtarnwick.so.$major" '$1 == soname {print $3}')
      [ "$(realpath "$loaded")" = "$(realpath "$installed")" ] || { echo "$program loads $loaded"; return 1; }
    fi
    "$program" >"$program.out"
  done
  diff <(sed 's/^ *//' "$out/cpp/hello_cpp.out") "$out/hello_c.out"
  cat "$out/cpp/hello_cpp.out"
}
