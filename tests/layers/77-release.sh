# SPDX-License-Identifier: MIT
# The release archives, checked as a user meets them. tools/make-release
# writes them to build/dist/out; then
# - SHA256SUMS holds the sums of every file written;
# - the Python package's wheels hold the package and its library, the
#   Windows ones the zips' DLLs, tagged py3-none-PLATFORM (its sdist is
#   checked by the Linux wheel, which tools/make-release builds from it);
# - the source tarball holds exactly the tracked files, under tarnwick-V/,
#   and the README's first command (read as the readme layer reads it) works
#   in a copy unpacked from it, with no network where this machine can take
#   it away (unshare -n);
# - each Windows zip holds exactly the files a user is promised (the HTML
#   manual among them), under
#   tarnwick-V-win32/ or tarnwick-V-win64/; its DLL exports exactly the seven
#   functions and its .def names the same ones;
# - the C example, built with MinGW-w64 against an unpacked zip alone (through
#   its CMake package, its pkg-config file, and an import library made from
#   its .def), prints under wine what the tarball's own build of it prints,
#   and the zip's tool prints the embedded sample's events. The win64
#   zip runs under wine64; the win32 zip under wine, which is a 32-bit x86
#   program, run under qemu on a kernel that runs none (wine_on_qemu).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++ git zip unzip pkg-config g++-mingw-w64-i686 binutils-mingw-w64-i686 \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 python3-build python3-setuptools python3-wheel doxygen python3
source tests/layers/windows.sh

# tools/make-release names a tree a release only when CHANGELOG.md's newest
# section is the header's version: in a clone, a listed unreleased change or
# another version is refused, and named as a snapshot of its commit with
# --snapshot; an empty [Unreleased] above the version's section is a release.
names=build/dist-names
rm -rf "$names" && git clone -q . "$names"
version=$(cmake -P cmake/version.cmake)
release_name() {
  printf '%s\n' "# Changelog" "" "${@}" >"$names/CHANGELOG.md"
  git -C "$names" -c user.name=test -c user.email=test@localhost.invalid commit -q -am "$1 $2"
  "$names/tools/make-release" --name
}
[ "$(release_name "## [Unreleased]" "" "## [$version] - 2026-12-10" 2>&1)" = "tarnwick-$version" ] \
  || { echo "a release was not named tarnwick-$version"; exit 1; }
for changelog in "## [Unreleased]|- a change|## [$version] - 2026-12-10" "## [9.9.9] - 2026-12-10|-|-"; do
  IFS='|' read -r -a lines <<<"$changelog"
  ! refusal=$(release_name "${lines[@]}" 2>&1) || { echo "not a release, yet named $refusal"; exit 1; }
  echo "refused: $refusal"
  [[ "$("$names/tools/make-release" --snapshot --name)" =~ ^tarnwick-$version-dev\.[0-9]+\+g$(git -C "$names" rev-parse --short HEAD)$ ]] \
    || { echo "the snapshot's name: $("$names/tools/make-release" --snapshot --name)"; exit 1; }
done
echo "ok: a release is named tarnwick-$version, other trees only as snapshots"
dist=build/dist
out=$dist/out
rm -rf "$dist" && mkdir -p "$dist"
# A tree that is not a release is made as a snapshot, as a developer would.
snapshot=()
tools/make-release --name >/dev/null 2>&1 || snapshot=(--snapshot)
tools/make-release "${snapshot[@]}" "$out"
name=$(tools/make-release "${snapshot[@]}" --name)
(cd "$out" && sha256sum -c SHA256SUMS && ls -l . python)
diff <(cd "$out" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort) \
  <(awk '{ print $2 }' "$out/SHA256SUMS" | LC_ALL=C sort) || { echo "SHA256SUMS does not list every file"; exit 1; }

# Fails, showing the difference, unless the files EXPECTED and ACTUAL list the
# same names in any order.
same_names() {
  diff <(LC_ALL=C sort "$1") <(LC_ALL=C sort "$2") || { echo "$3"; return 1; }
}

# The source tarball: exactly what git tracks, and a tree the README's first
# command builds and runs in.
git ls-files >"$dist/tracked.list"
tar -tzf "$out/$name.tar.gz" | grep -v '/$' | sed "s|^$name/||" >"$dist/tarball.list"
same_names "$dist/tracked.list" "$dist/tarball.list" "the tarball does not hold exactly the tracked files"
tar -xzf "$out/$name.tar.gz" -C "$dist"
source_copy=$dist/$name
command=$(readme_first_command "$source_copy/README.md")
offline=()
if unshare -n true 2>/dev/null; then offline=(unshare -n); else echo "note: the network stays reachable here"; fi
echo "--- in the unpacked tarball, ${offline[*]:+offline: }$command"
logged "$dist/first-command.log" env -C "$source_copy" "${offline[@]}" bash -c "$command" \
  || { echo "the README's first command failed in the tarball"; exit 1; }
sample=tests/tool/cases/sample-walk.out
diff <(tail -n "$(wc -l <"$sample")" "$dist/first-command.log") "$sample" \
  || { echo "the first command did not print the embedded sample's events"; exit 1; }
native_hello=$(find "$source_copy/build" -type f -name hello_c)
[ -x "$native_hello" ] || { echo "the first command built no single examples/hello_c"; exit 1; }
"$native_hello" >"$dist/hello_c.out"
echo "ok: the tarball's tree builds and runs"

# The files of a Windows zip below its top folder.
promised_zip_files() {
  printf '%s\n' bin/libtarnwick.dll bin/tarnwick.exe lib/libtarnwick.dll.a lib/tarnwick.def \
    lib/cmake/tarnwick/tarnwickConfig.cmake lib/cmake/tarnwick/tarnwickConfigVersion.cmake \
    lib/cmake/tarnwick/tarnwickSharedTargets.cmake lib/cmake/tarnwick/tarnwickSharedTargets-release.cmake \
    lib/pkgconfig/tarnwick.pc share/doc/tarnwick/README.md share/doc/tarnwick/LICENSE share/doc/tarnwick/CHANGELOG.md \
    share/doc/tarnwick/format.md share/doc/tarnwick/examples/hello.c share/doc/tarnwick/examples/hello.cpp
  git ls-files include
  # The manual, as tools/make-manual builds it here.
  tools/make-manual "$dist/manual" >/dev/null && (cd "$dist/manual" && find . -type f | sed 's|^\./|share/doc/tarnwick/html/|')
}

# Unpacks the zip of FOLDER (win32, win64) into build/dist/FOLDER and checks
# its names, its DLL's exports with the MinGW-w64 objdump OBJDUMP, and that
# its .def names what the DLL exports.
check_zip() {
  local folder=$1 objdump=$2 top=$dist/$1/$name-$1
  promised_zip_files >"$dist/$folder.promised"
  unzip -Z1 "$out/$name-$folder.zip" | sed "s|^$name-$folder/||" >"$dist/$folder.list"
  same_names "$dist/$folder.promised" "$dist/$folder.list" "$name-$folder.zip does not hold exactly the promised files"
  unzip -q "$out/$name-$folder.zip" -d "$dist/$folder"
  OBJDUMP=$objdump tests/check-exports --def "$dist/$folder.def" "$top/bin/libtarnwick.dll"
  diff "$dist/$folder.def" "$top/lib/tarnwick.def" || { echo "$folder: tarnwick.def does not name the DLL's exports"; return 1; }
  # The zip's README sends the reader to nothing that only the repository has.
  ! grep -nE 'docs/|tests/|tools/|\.ci/|bench/|cmake/|debian/' "$top/share/doc/tarnwick/README.md" \
    || { echo "$folder: the README names files that are not in the zip"; return 1; }
  echo "ok: $name-$folder.zip holds what it should"
}

# Builds the C example against the unpacked zip of FOLDER three ways: through
# its CMake package alone (with the toolchain file cmake/TOOLCHAIN.cmake),
# through its pkg-config file, and with an import library that MinGW-w64's
# dlltool makes from its .def, as MSVC's lib makes tarnwick.lib. Each must
# print what the tarball's build of it prints, and the zip's tool the
# sample's events, run with the wine loader WINE (in the prefix that
# make_wine_prefix set) and finding the DLL in the zip's bin/ alone.
check_zip_programs() {
  local folder=$1 toolchain=$2 triplet=$3 wine=$4 top=$PWD/$dist/$1/$name-$1 build=$dist/$1/consumer program
  logged "$build.configure.log" cmake -S tests/consumers/c -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain.cmake" \
    -DCMAKE_PREFIX_PATH="$top" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF || return 1
  grep "tarnwick .* from $top/lib/cmake/tarnwick" "$build.configure.log"
  logged "$build.build.log" cmake --build "$build" || return 1
  # shellcheck disable=SC2046 # the flags are words
  "$triplet-gcc" -std=c99 examples/hello.c $(PKG_CONFIG_LIBDIR=$top/lib/pkgconfig pkg-config --cflags --libs tarnwick) \
    -o "$build/hello_pkg_config.exe"
  "$triplet-dlltool" -d "$top/lib/tarnwick.def" -D libtarnwick.dll -l "$build/libtarnwick_from_def.a"
  "$triplet-gcc" -std=c99 examples/hello.c -I"$top/include" "$build/libtarnwick_from_def.a" -o "$build/hello_def.exe"
  for program in hello_c hello_pkg_config hello_def; do
    WINEPATH="Z:$top/bin" "$wine" "$build/$program.exe" | tr -d '\r' >"$build/$program.out"
    diff "$build/$program.out" "$dist/hello_c.out" || { echo "$folder: $program.exe printed other events"; return 1; }
  done
  "$wine" "$top/bin/tarnwick.exe" walk | tr -d '\r' | diff - "$sample" \
    || { echo "$folder: tarnwick.exe did not print the sample's events"; return 1; }
  echo "ok: $folder: the C example built against the zip alone, and the zip's tool, run under $(basename "$wine")"
}

# Checks the wheel for PLATFORM: exactly the package, LIBRARY and the wheel's
# metadata, tagged py3-none-PLATFORM as not pure Python. For Windows, with
# the MinGW-w64 objdump OBJDUMP and the unpacked zip FOLDER, its DLL is the
# zip's and exports exactly the seven functions.
check_wheel() {
  local platform=$1 library=$2 objdump=${3:-} folder=${4:-} wheel=$out/python/tarnwick-$version-py3-none-$1.whl
  printf '%s\n' tarnwick/__init__.py tarnwick/_layout.py tarnwick/_library.py tarnwick/py.typed "tarnwick/$library" \
    "tarnwick-$version.dist-info/"{METADATA,WHEEL,top_level.txt,RECORD} >"$dist/$platform.promised"
  unzip -Z1 "$wheel" >"$dist/$platform.list"
  same_names "$dist/$platform.promised" "$dist/$platform.list" "$wheel does not hold exactly the promised files"
  unzip -p "$wheel" "tarnwick-$version.dist-info/WHEEL" | grep -E '^(Tag|Root-Is-Purelib):' >"$dist/$platform.tags"
  diff <(printf '%s\n' "Root-Is-Purelib: false" "Tag: py3-none-$platform") "$dist/$platform.tags" \
    || { echo "$wheel is tagged otherwise"; return 1; }
  if [ -n "$folder" ]; then
    unzip -p "$wheel" "tarnwick/$library" >"$dist/$platform.dll"
    cmp "$dist/$platform.dll" "$dist/$folder/$name-$folder/bin/libtarnwick.dll" || { echo "$wheel: not the zip's DLL"; return 1; }
    OBJDUMP=$objdump tests/check-exports "$dist/$platform.dll"
  fi
  echo "ok: $(basename "$wheel") holds what it should"
}

check_zip win64 x86_64-w64-mingw32-objdump
check_zip win32 i686-w64-mingw32-objdump
check_wheel linux_x86_64 libtarnwick.so.1
check_wheel win_amd64 libtarnwick.dll x86_64-w64-mingw32-objdump win64
check_wheel win32 libtarnwick.dll i686-w64-mingw32-objdump win32
make_wine_prefix dist-wine64 /usr/lib/wine/wine64
keep_wine_running dist-wine64 /usr/lib/wine/wine64
check_zip_programs win64 mingw-x86_64 x86_64-w64-mingw32 /usr/lib/wine/wine64

wine32_installed || skip "the win32 programs under wine (wine32 cannot be installed from the archive now)"
wine_on_qemu || skip "the win32 programs under wine (32-bit x86 programs cannot run here)"
make_wine_prefix dist-wine32 wine
keep_wine_running dist-wine32 wine
check_zip_programs win32 mingw-i686 i686-w64-mingw32 wine
