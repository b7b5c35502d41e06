# SPDX-License-Identifier: MIT
# Installs the library, headers, tool, manual pages and packages into a
# prefix under build/, then builds and runs the two examples against the
# installed files only: the C one through pkg-config, the C++ one through
# find_package. The installed headers must also compile alone under strict
# warnings, as C99 and as C++20, with both compilers. Then the same two
# examples against the static library, installed the same way.
need_packages cmake g++ clang pkg-config binutils

# Configures build/NAME again, as a rebuild does, and installs it into
# build/NAME/root. The exported target must name the include folder exactly
# once; an install folder named before GNUInstallDirs sets it would come in
# from the cache on this second configure and show up twice.
install_build() {
  local name=$1 prefix=$PWD/build/$1/root includes
  cmake -S . -B "build/$name" >>"build/$name.configure.log" 2>&1 || { cat "build/$name.configure.log"; return 1; }
  rm -rf "$prefix" "build/$name/consumers"
  cmake --install "build/$name" --prefix "$prefix" >"build/$name.install.log"
  includes=$(sed -n 's/^ *INTERFACE_INCLUDE_DIRECTORIES "\(.*\)"$/\1/p' "$(find "$prefix" -name tarnwickTargets.cmake)")
  # shellcheck disable=SC2016 # the variable is the exported file's own
  [ "$includes" = '${_IMPORT_PREFIX}/include' ] || { echo "the exported include folders: $includes"; return 1; }
}

# Builds examples/hello.c through the tarnwick.pc under PREFIX/LIBDIR, then
# both examples through check_consumers (INSTALLED as there), in
# PREFIX/../consumers.
use_installed() {
  local prefix=$1 libdir=$2 installed=$3 out=$1/../consumers
  mkdir -p "$out"
  export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
  echo "pkg-config: $(pkg-config --modversion tarnwick) $(pkg-config --cflags --libs tarnwick)"
  # shellcheck disable=SC2046 # the flags are words
  gcc -std=c99 $strict examples/hello.c $(pkg-config --cflags --libs tarnwick) \
    -Wl,-rpath,"$(pkg-config --variable=libdir tarnwick)" -o "$out/hello_c"
  check_consumers "$out" "$installed" -DCMAKE_PREFIX_PATH="$prefix"
}

build install -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF
install_build install
prefix=$PWD/build/install/root
cat build/install/install_manifest.txt; echo

# The library lies in the folder above pkgconfig/ (lib, or lib/<multiarch>).
pc=$(cd "$prefix" && find . -name tarnwick.pc)
libdir=$(dirname "$(dirname "${pc#./}")")
[ "$(readlink "$prefix/$libdir/libtarnwick.so")" = libtarnwick.so.1 ] || { echo "no development symlink"; exit 1; }
[ "$(readlink "$prefix/$libdir/libtarnwick.so.1")" = libtarnwick.so.1.0.0 ] || { echo "no SONAME symlink"; exit 1; }
tests/check-exports "$prefix/$libdir/libtarnwick.so.1.0.0"
for header in tarnwick.h tarnwick.hpp tarnwick/engine.hpp; do
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
  for header in tarnwick.h tarnwick.hpp tarnwick/engine.hpp; do
    echo "#include <$header>" | $cxx -std=c++20 $strict -Wshadow -Wconversion -Wsign-conversion -fsyntax-only \
      -I"$prefix/include" -x c++ -
  done
done
echo "headers compile alone"

# Only the installed tree is visible: no source folder on the include path,
# and the programs must load the installed library.
use_installed "$prefix" "$libdir" "$prefix/$libdir/libtarnwick.so.1"
echo "install ok"

# The static library: libtarnwick.a alone (in the same library folder as the
# shared one), and TARNWICK_STATIC passed on to its callers by both packages.
build install-static -DBUILD_SHARED_LIBS=OFF -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF \
  -DTARNWICK_BUILD_TOOLS=OFF -DTARNWICK_BUILD_EXAMPLES=OFF
install_build install-static
static=$PWD/build/install-static/root
[ -f "$static/$libdir/libtarnwick.a" ] || { echo "no libtarnwick.a"; exit 1; }
! compgen -G "$static/$libdir/libtarnwick.so*" || { echo "a static build installed a shared library"; exit 1; }
grep -q 'INTERFACE_COMPILE_DEFINITIONS "TARNWICK_STATIC"' "$static/$libdir/cmake/tarnwick/tarnwickTargets.cmake" \
  || { echo "the static CMake package does not define TARNWICK_STATIC"; exit 1; }
use_installed "$static" "$libdir" ""
pkg-config --cflags tarnwick | grep -q -- -DTARNWICK_STATIC || { echo "tarnwick.pc does not define TARNWICK_STATIC"; exit 1; }
grep -q -- -DTARNWICK_STATIC build/install-static/consumers/cpp/CMakeFiles/hello_cpp.dir/flags.make \
  || { echo "hello_cpp was built without TARNWICK_STATIC"; exit 1; }
echo "static install ok"
