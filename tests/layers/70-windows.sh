# SPDX-License-Identifier: MIT
# The 32-bit Windows DLL, cross-built with MinGW-w64 in Release (the type the
# README gives Windows users) and proven under wine: the whole suite, the
# tool's cases and a plain C caller run as Windows programs against the DLL
# (the format's numbers are those of 4-byte pointers there too), and the DLL
# exports exactly the seven plain names and imports only the C runtime and
# KERNEL32. Wine runs Windows programs as 32-bit x86 Linux processes: on a
# kernel that runs none, they run under qemu (wine_on_qemu), and the suite
# takes the emulated layers' quick setting. The layer is skipped only where
# that cannot be set up (not root, no binfmt_misc), or when the archive
# cannot give wine's 32-bit half today (see wine32_installed).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest
source tests/layers/windows.sh
# Wine comes first: configuring the build looks for it, and CTest runs the
# programs under it only if it was found then.
wine32=yes
wine32_installed || wine32=
gtest_for mingw-i686
build windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release "${gtest[@]}" \
  -DTARNWICK_BUILD_BENCH=OFF
check_windows_build windows i686-w64-mingw32-objdump

[ -n "$wine32" ] || skip "the suite under wine (wine32 cannot be installed from the archive now)"
wine_on_qemu || skip "the suite under wine (32-bit x86 programs cannot run here)"
[ -z "${QEMU_SET_ENV:-}" ] || export TARNWICK_QUICK=1
make_wine_prefix windows wine
keep_wine_running windows wine
run_ctest windows
