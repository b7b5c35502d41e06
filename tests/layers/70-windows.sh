# SPDX-License-Identifier: MIT
# The 32-bit Windows DLL, cross-built with MinGW-w64 in Release (the type the
# README gives Windows users) and proven under wine: the whole suite and a
# plain C caller run as Windows programs against the DLL (the format's
# numbers are those of 4-byte pointers there too), and the DLL exports exactly
# the seven plain names and imports only the C runtime and KERNEL32. On a
# kernel that runs no 32-bit x86 programs, wine cannot run, and the layer is
# skipped after the build and the checks of the DLL; so it is when the
# archive cannot give wine's 32-bit half today (see wine32_installed).
need_packages cmake g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest
source tests/layers/windows.sh
gtest_for mingw-i686
build windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release "${gtest[@]}" \
  -DTARNWICK_BUILD_BENCH=OFF
check_windows_build windows i686-w64-mingw32-objdump

# Wine runs Windows programs as 32-bit x86 Linux processes, which a kernel
# built without IA-32 emulation refuses. The DLL has then been built and
# checked, but its suite cannot run on this machine.
if ! wine32_installed; then
  echo "not run: the suite under wine (wine32 cannot be installed from the archive now)"
  exit 77
fi
if ! wine_runs windows; then
  echo "not run: the suite under wine (this kernel runs no 32-bit x86 programs)"
  exit 77
fi

make_wine_prefix windows wine
run_ctest windows
