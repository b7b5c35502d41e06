# SPDX-License-Identifier: MIT
# The shared library's ABI against the description kept in abi/: the seven
# functions with their parameter and return types, and the layout of every
# struct they reach (tarnwick_list, _node, _block, _event, _frame, _iter).
# abidiff fails the layer on any change, compatible or not, so that the ABI
# only changes on purpose: TARNWICK_UPDATE_ABI=1 writes the new description
# instead, to be committed with the change (and an incompatible change also
# takes a new SONAME, by a new major version).
need_packages cmake g++ abigail-tools
build abi -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_TOOLS=OFF -DTARNWICK_BUILD_EXAMPLES=OFF \
  -DTARNWICK_BUILD_BENCH=OFF
stored=abi/libtarnwick.abi fresh=build/abi/libtarnwick.abi
# Without paths and source lines, the description changes only with the ABI.
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --out-file "$fresh" build/abi/libtarnwick.so
if [ "${TARNWICK_UPDATE_ABI:-}" = 1 ]; then
  cp "$fresh" "$stored"
  echo "wrote $stored"
  exit 0
fi

# abidiff's status is a bit set: 4 the ABI changed, 8 incompatibly; 1 and 2
# are its own errors.
status=0
abidiff "$stored" "$fresh" || status=$?
if [ "$status" -ne 0 ]; then
  echo "abidiff status $status: the ABI differs from $stored (TARNWICK_UPDATE_ABI=1 tests/run abi writes it)"
  exit 1
fi
grep -o "<elf-symbol name='[a-z_]*'" "$stored" | cut -d"'" -f2 | tr '\n' ' '
echo
echo "abidiff: $(basename "$(readlink -f build/abi/libtarnwick.so)") has the ABI of $stored"
