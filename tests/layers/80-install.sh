# SPDX-License-Identifier: MIT
# Installs the library, headers, tool, manual pages, documents and packages
# into a prefix under build/, then builds and runs the two examples against
# the installed files only: the C one through pkg-config, the C++ one through
# find_package. The installed headers must also compile alone under the
# strictest warnings of both compilers. Then the same against the static
# library; then both kinds installed into one prefix, in either order, where
# each consumer gets the kind it asks for. Last, a project of its own takes
# libtarnwick in by add_subdirectory, FetchContent and find_package, and
# must keep its own settings.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ clang pkg-config binutils git

version=$(cmake -P cmake/version.cmake)
major=${version%%.*}

# Configures build/NAME again, as a rebuild does, and installs it into
# PREFIX (build/NAME/root when none is given; an existing prefix is kept).
# The exported target must name the include folder exactly once; an install
# folder named before GNUInstallDirs sets it would come in from the cache on
# this second configure and show up twice.
install_build() {
  local name=$1 prefix=${2:-$PWD/build/$1/root} kind=Shared targets
  logged "build/$name.reconfigure.log" cmake -S . -B "build/$name" || return 1
  [ -n "${2:-}" ] || rm -rf "$prefix" "build/$name/consumers"
  cmake --install "build/$name" --prefix "$prefix" >"build/$name.install.log"
  ! grep -q '^BUILD_SHARED_LIBS:BOOL=OFF' "build/$name/CMakeCache.txt" || kind=Static
  targets=$(find "$prefix" -name "tarnwick${kind}Targets.cmake")
  # shellcheck disable=SC2016 # the variable is the exported file's own
  [ "$(grep -c 'BASE_DIRS "${_IMPORT_PREFIX}/include"' "$targets")" = 1 ] && ! grep -q INTERFACE_INCLUDE_DIRECTORIES "$targets" \
    || { echo "the exported include folders:"; grep -E 'BASE_DIRS|INCLUDE_DIRECTORIES' "$targets"; return 1; }
}

# Builds examples/hello.c through the tarnwick.pc under PREFIX/LIBDIR, then
# both examples through check_consumers (INSTALLED as there, and any further
# cmake arguments), in OUT (PREFIX/../consumers when none is given).
use_installed() {
  local prefix=$1 libdir=$2 installed=$3 out=${4:-$1/../consumers}
  local link
  mkdir -p "$out"
  export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
  echo "pkg-config: $(pkg-config --modversion tarnwick) $(pkg-config --cflags --libs tarnwick)"
  # A static link asks the linker for libtarnwick.a, which it would pass over
  # for libtarnwick.so where both are installed.
  link=$(pkg-config --libs tarnwick)
  [ -n "$installed" ] || link="$(pkg-config --static --libs-only-L tarnwick) -Wl,-Bstatic $(pkg-config --static --libs-only-l tarnwick) -Wl,-Bdynamic"
  # shellcheck disable=SC2046,SC2086 # the flags are words
  gcc -std=c99 $strict examples/hello.c $(pkg-config --cflags tarnwick) $link \
    -Wl,-rpath,"$(pkg-config --variable=libdir tarnwick)" -o "$out/hello_c"
  check_consumers "$out" "$installed" -DCMAKE_PREFIX_PATH="$prefix" "${@:5}"
}

build install -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF
install_build install
prefix=$PWD/build/install/root
cat build/install/install_manifest.txt; echo

# The library lies in the folder above pkgconfig/ (lib, or lib/<multiarch>),
# which tarnwick.pc names plainly, relative to the prefix.
pc=$(cd "$prefix" && find . -name tarnwick.pc)
libdir=$(dirname "$(dirname "${pc#./}")")
# shellcheck disable=SC2016 # the variables are pkg-config's
grep -qx 'libdir=${prefix}/'"$libdir" "$prefix/$pc" || { echo "tarnwick.pc names its library folder:"; cat "$prefix/$pc"; exit 1; }
[ "$(readlink "$prefix/$libdir/libtarnwick.so")" = "libtarnwick.so.$major" ] || { echo "no development symlink"; exit 1; }
[ "$(readlink "$prefix/$libdir/libtarnwick.so.$major")" = "libtarnwick.so.$version" ] || { echo "no SONAME symlink"; exit 1; }
tests/check-exports "$prefix/$libdir/libtarnwick.so.$version"
for file in include/tarnwick.h include/tarnwick.hpp include/tarnwick/engine.hpp share/man/man3/libtarnwick.3 \
            share/doc/tarnwick/README.md share/doc/tarnwick/format.md; do
  [ -f "$prefix/$file" ] || { echo "$file not installed"; exit 1; }
done
if [ -f build/install/tools/tarnwick ]; then
  "$prefix/bin/tarnwick" --help >/dev/null || { echo "the installed tool does not run"; exit 1; }
  [ -f "$prefix/share/man/man1/tarnwick.1" ] || { echo "tarnwick(1) not installed"; exit 1; }
fi

strict="-Wall -Wextra -Wpedantic -Werror"
tests/check-headers "$prefix/include"

# Only the installed tree is visible: no source folder on the include path,
# and the programs must load the installed library.
use_installed "$prefix" "$libdir" "$prefix/$libdir/libtarnwick.so.$major"
echo "install ok"

# The static library: libtarnwick.a alone (in the same library folder as the
# shared one). Only Windows callers need TARNWICK_STATIC, so neither package
# passes it on here.
build install-static -DBUILD_SHARED_LIBS=OFF -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=OFF \
  -DTARNWICK_BUILD_TOOLS=OFF -DTARNWICK_BUILD_EXAMPLES=OFF
install_build install-static
static=$PWD/build/install-static/root
[ -f "$static/$libdir/libtarnwick.a" ] || { echo "no libtarnwick.a"; exit 1; }
! compgen -G "$static/$libdir/libtarnwick.so*" || { echo "a static build installed a shared library"; exit 1; }
! grep -q INTERFACE_COMPILE_DEFINITIONS "$static/$libdir/cmake/tarnwick/tarnwickStaticTargets.cmake" \
  && ! grep -q TARNWICK_STATIC "$static/$pc" || { echo "the static packages pass TARNWICK_STATIC on where no dllimport exists"; exit 1; }
use_installed "$static" "$libdir" ""
echo "static install ok"

# Both kinds in one prefix, installed in either order: both exported
# targets side by side, one tarnwick.pc (the same as either build writes).
# tarnwick::tarnwick is the shared library unless the consumer's
# BUILD_SHARED_LIBS or tarnwick_SHARED_LIBS says static; through pkg-config,
# the static link of use_installed.
for order in "install install-static" "install-static install"; do
  both=$PWD/build/install-both/${order// /-then-}
  rm -rf "$both" "$both".*
  for name in $order; do install_build "$name" "$both"; done
  echo "--- both kinds, installed in the order $order"
  ls "$both/$libdir" "$both/$libdir/cmake/tarnwick"
  [ -f "$both/$libdir/libtarnwick.a" ] && [ -f "$both/$libdir/libtarnwick.so.$version" ] \
    && [ -f "$both/$libdir/cmake/tarnwick/tarnwickSharedTargets.cmake" ] \
    && [ -f "$both/$libdir/cmake/tarnwick/tarnwickStaticTargets.cmake" ] || { echo "a kind is missing"; exit 1; }
  cmp "$both/$pc" "$prefix/$pc" || { echo "tarnwick.pc differs from the shared build's"; exit 1; }
  use_installed "$both" "$libdir" "$both/$libdir/libtarnwick.so.$major" "$both.consumers-shared"
  use_installed "$both" "$libdir" "" "$both.consumers-hint" -Dtarnwick_SHARED_LIBS=OFF
  use_installed "$both" "$libdir" "" "$both.consumers-static" -DBUILD_SHARED_LIBS=OFF
done
echo "both kinds in one prefix ok"

# A project of its own (tests/consumers/c, built as Debug, its library mine
# of the kind its BUILD_SHARED_LIBS asks for) takes libtarnwick in, row by
# row: how, further cmake arguments, the kind mine and libtarnwick must come
# out as, and whether the project's install holds any of libtarnwick. The
# project's cache must keep its build type and gain no BUILD_SHARED_LIBS;
# embedded, libtarnwick builds neither its tool nor its examples, and its
# sanitizer options reach its own library only. FetchContent takes a local
# git clone of the tree as it stands.
clone=$PWD/build/embed/clone
copy_tree "$clone"
git -C "$clone" init -q && git -C "$clone" add -A \
  && git -C "$clone" -c user.name=test -c user.email=test@localhost.invalid commit -q -m tree
while IFS='|' read -r via args mine kind installs; do
  [ -n "$via" ] || continue
  out=build/embed/$via${args:+-$(echo "$args" | tr -c 'A-Za-z0-9\n' _)}
  rm -rf "$out" "$out.root"
  echo "--- $via $args"
  # shellcheck disable=SC2086 # the arguments are words
  logged "$out.configure.log" cmake -S tests/consumers/c -B "$out" -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_VIA="$via" \
    -DTARNWICK_SOURCE="${clone}" -DTARNWICK_GIT_TAG="$(git -C "$clone" rev-parse HEAD)" -DCMAKE_PREFIX_PATH="$prefix" $args
  logged "$out.build.log" cmake --build "$out"
  cmake --install "$out" --prefix "$PWD/$out.root" >"$out.install.log"
  grep -x 'CMAKE_BUILD_TYPE:STRING=Debug' "$out/CMakeCache.txt" || { echo "the project's build type changed"; exit 1; }
  [[ "$args" == *BUILD_SHARED_LIBS* ]] || ! grep '^BUILD_SHARED_LIBS' "$out/CMakeCache.txt" \
    || { echo "libtarnwick wrote BUILD_SHARED_LIBS into the project's cache"; exit 1; }
  if [ "$mine" = static ]; then found=$out/libmine.a; else found=$out/libmine.so; fi
  [ -f "$found" ] || { echo "mine is not $mine:"; ls "$out"; exit 1; }
  if ldd "$out/hello_c" | grep libtarnwick >/dev/null; then found=shared; else found=static; fi
  [ "$found" = "$kind" ] || { echo "libtarnwick is $found, not $kind"; exit 1; }
  [ -z "$(find "$out" -path '*/tools/tarnwick' -o -name 'hello_cpp')" ] || { echo "the tool or the examples were built"; exit 1; }
  if [ "$via" != package ]; then
    ! grep -q fsanitize "$out/CMakeFiles/mine.dir/flags.make" || { echo "libtarnwick's options reached mine"; exit 1; }
  fi
  if [ "$installs" = yes ]; then
    [ -f "$out.root/include/tarnwick.h" ] || { echo "TARNWICK_INSTALL=ON installed no tarnwick.h"; exit 1; }
  else
    [ -z "$(find "$out.root" -name '*tarnwick*')" ] || { echo "the project installed libtarnwick:"; find "$out.root"; exit 1; }
  fi
  diff <("$out/hello_c") build/install/consumers/hello_c.out
  echo "ok: the project's settings kept; mine $mine, libtarnwick $kind, installed by the project: $installs"
done <<'ROWS'
subdirectory|-DTARNWICK_SANITIZE=undefined|static|static|no
subdirectory|-DBUILD_SHARED_LIBS=ON|shared|shared|no
subdirectory|-DTARNWICK_SHARED=ON|static|shared|no
subdirectory|-DTARNWICK_INSTALL=ON|static|static|yes
fetchcontent||static|static|no
package||static|shared|no
ROWS
echo "embedding ok"
