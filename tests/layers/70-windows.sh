# The 32-bit Windows DLL, cross-built with MinGW-w64 in Release (the type the
# README gives Windows users) and proven under wine: the whole suite and a
# plain C caller run as Windows programs against the DLL (the format's
# numbers are those of 4-byte pointers there too), and the DLL exports exactly
# the seven plain names and imports only the C runtime and KERNEL32. On a
# kernel that runs no 32-bit x86 programs, wine cannot run, and the layer is
# skipped after the build and the checks of the DLL.
need_packages cmake g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest wine wine32:i386
build windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DTARNWICK_GTEST_SOURCE=/usr/src/googletest \
  -DTARNWICK_BUILD_BENCH=OFF

bin=build/windows/bin
objdump=i686-w64-mingw32-objdump
# The suite and the C caller test the DLL itself, not a copy linked in.
for program in unit_tests c_caller; do
  headers=$("$objdump" -p "$bin/$program.exe")
  grep -q 'DLL Name: libtarnwick.dll' <<<"$headers" || { echo "$program.exe does not load libtarnwick.dll"; exit 1; }
done
[ -f build/windows/libtarnwick.dll.a ] || { echo "no import library"; exit 1; }
OBJDUMP=$objdump tools/check-exports "$bin/libtarnwick.dll"

# Wine runs Windows programs as 32-bit x86 Linux processes, which a kernel
# built without IA-32 emulation refuses. The DLL has then been built and
# checked, but its suite cannot run on this machine.
if ! wine --version >build/windows.wine-version.log 2>&1; then
  cat build/windows.wine-version.log
  grep -q 'Exec format error' build/windows.wine-version.log || exit 1
  echo "not run: the suite under wine (this kernel runs no 32-bit x86 programs)"
  exit 77
fi

# The wine prefix the build's tests run in (see cmake/mingw-i686.cmake),
# created here once, headless, so that no test pays for it or prints it.
# The wine server is not kept running across tests: the helper processes it
# starts would hold CTest's output pipe open, and CTest would wait for ever.
export WINEPREFIX=$PWD/build/windows/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the wine prefix $WINEPREFIX"
  started=$SECONDS
  wineboot --init >build/windows.wineboot.log 2>&1 || { cat build/windows.wineboot.log; exit 1; }
  echo "wine prefix created in $((SECONDS - started))s"
fi
run_ctest windows
