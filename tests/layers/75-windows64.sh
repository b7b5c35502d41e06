# SPDX-License-Identifier: MIT
# The 64-bit Windows DLL, cross-built with MinGW-w64 and proven under wine64,
# which runs on any x86-64 kernel: the whole suite and a plain C caller run as
# Windows programs against the DLL (the format's numbers are those of 8-byte
# pointers), and the DLL exports exactly the seven plain names and imports
# only the C runtime and KERNEL32.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 googletest wine64
source tests/layers/windows.sh
make_wine_prefix windows64 /usr/lib/wine/wine64
keep_wine_running windows64 /usr/lib/wine/wine64
cross_suite windows64 mingw-x86_64
check_windows_build windows64 x86_64-w64-mingw32-objdump
