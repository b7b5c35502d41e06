# SPDX-License-Identifier: MIT
# Installs the library, headers, tool, manual pages and packages into a
# prefix under build/, then builds and runs the two examples against the
# installed files only: the C one through pkg-config, the C++ one through
# find_package. The installed headers must also compile alone under strict
# warnings, as C99 and as C++20, with both compilers.
need_packages cmake g++ clang pkg-config binutils
build install -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF
prefix=$PWD/build/install/root
rm -rf "$prefix" build/install/consumers
cmake --install build/install --prefix "$prefix" >build/install.install.log
cat build/install/install_manifest.txt; echo

# The library lies in the folder above pkgconfig/ (lib, or lib/<multiarch>).
pc=$(cd "$prefix" && find . -name tarnwick.pc)
libdir=$(dirname "$(dirname "${pc#./}")")
[ "$(readlink "$prefix/$libdir/libtarnwick.so")" = libtarnwick.so.1 ] || { echo "no development symlink"; exit 1; }
[ "$(readlink "$prefix/$libdir/libtarnwick.so.1")" = libtarnwick.so.1.0.0 ] || { echo "no SONAME symlink"; exit 1; }
tests/check-exports "$prefix/$libdir/libtarnwick.so.1.0.0"
for header in tarnwick.h tarnwick.hpp tarnwick_engine.hpp; do
  [ -f "$prefix/include/$header" ] || { echo "$header not installed"; exit 1; }
done
[ -f "$prefix/share/man/man3/libtarnwick.3" ] || { echo "libtarnwick(3) not installed"; exit 1; }
if [ -f build/install/tools/tarnwick ]; then
  "$prefix/bin/tarnwick" --help >/dev/null || { echo "the installed tool does not run"; exit 1; }
  [ -f "$prefix/share/man/man1/tarnwick.1" ] || { echo "tarnwick(1) not installed"; exit 1; }
fi

strict="-Wall -Wextra -Wpedantic -Werror"
for cc in gcc clang; do
  echo '#include <tarnwick.h>' | $cc -std=c99 $strict -Wshadow -Wconversion -Wsign-conversion -fsyntax-only \
    -I"$prefix/include" -x c -
done
for cxx in g++ clang++; do
  for header in tarnwick.h tarnwick.hpp tarnwick_engine.hpp; do
    echo "#include <$header>" | $cxx -std=c++20 $strict -Wshadow -Wconversion -Wsign-conversion -fsyntax-only \
      -I"$prefix/include" -x c++ -
  done
done
echo "headers compile alone"

# Only the installed tree is visible: no source folder on the include path,
# and the programs must load the installed library.
out=build/install/consumers
mkdir -p "$out"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
echo "pkg-config: $(pkg-config --modversion tarnwick) $(pkg-config --cflags --libs tarnwick)"
# shellcheck disable=SC2046 # the flags are words
gcc -std=c99 $strict examples/hello.c $(pkg-config --cflags --libs tarnwick) \
  -Wl,-rpath,"$(pkg-config --variable=libdir tarnwick)" -o "$out/hello_c"
check_consumers "$out" "$prefix/$libdir/libtarnwick.so.1" -DCMAKE_PREFIX_PATH="$prefix"
echo "install ok"
