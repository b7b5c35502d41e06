# SPDX-License-Identifier: MIT
# The shared library's ABI against the descriptions kept in abi/, for x86-64
# (libtarnwick.abi) and for 32-bit x86 (libtarnwick-i686.abi), where every
# pointer and so the node record is narrower: the seven functions with their
# parameter and return types, and the layout of every struct they reach
# (tarnwick_list, _node, _block, _event, _frame, _iter). abidiff fails the
# layer on any change, compatible or not, so that the ABI only changes on
# purpose: TARNWICK_UPDATE_ABI=1 writes the new descriptions instead, to be
# committed with the change (and an incompatible change also takes a new
# SONAME, by a new major version).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ g++-i686-linux-gnu abigail-tools

# Builds the library alone as build/NAME (with any further cmake arguments)
# and compares its ABI with abi/STORED.
check_abi() {
  local name=$1 stored=abi/$2 fresh=build/$1/$2 status=0
  shift 2
  build "$name" -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_TOOLS=OFF -DTARNWICK_BUILD_EXAMPLES=OFF \
    -DTARNWICK_BUILD_BENCH=OFF "$@"
  # Without paths and source lines, the description changes only with the ABI.
  abidw --no-corpus-path --no-comp-dir-path --no-show-locs --out-file "$fresh" "build/$name/libtarnwick.so"
  if [ "${TARNWICK_UPDATE_ABI:-}" = 1 ]; then
    cp "$fresh" "$stored"
    echo "wrote $stored"
    return 0
  fi
  # abidiff's status is a bit set: 4 the ABI changed, 8 incompatibly; 1 and 2
  # are its own errors.
  abidiff "$stored" "$fresh" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "abidiff status $status: the ABI differs from $stored (TARNWICK_UPDATE_ABI=1 tests/run abi writes it)"
    return 1
  fi
  grep -o "<elf-symbol name='[a-z_]*'" "$stored" | cut -d"'" -f2 | tr '\n' ' '
  echo
  echo "abidiff: $(basename "$(readlink -f "build/$name/libtarnwick.so")") for $name has the ABI of $stored"
}

check_abi abi libtarnwick.abi
check_abi abi-i686 libtarnwick-i686.abi -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
