# SPDX-License-Identifier: MIT
# Shared by the Windows layers (sourced after lib.sh, never run itself).

# Checks the DLL of build/NAME with the MinGW-w64 objdump OBJDUMP: the suite
# and the C caller load the DLL itself, not a copy linked in; there is an
# import library; and the DLL exports exactly the seven plain names and
# imports only the C runtime and KERNEL32.
check_windows_build() {
  local bin=build/$1/bin objdump=$2 program headers
  for program in unit_tests c_caller; do
    headers=$("$objdump" -p "$bin/$program.exe")
    grep -q 'DLL Name: libtarnwick.dll' <<<"$headers" || { echo "$program.exe does not load libtarnwick.dll"; return 1; }
  done
  [ -f "build/$1/libtarnwick.dll.a" ] || { echo "no import library"; return 1; }
  OBJDUMP=$objdump tests/check-exports "$bin/libtarnwick.dll"
}

# Creates the wine prefix that build/NAME's tests run in (see cmake/mingw.cmake)
# with the wine loader WINE, once, headless, so that no test pays for it or
# prints it. The wine server is not kept running across tests: the helper
# processes it starts would hold CTest's output pipe open, and CTest would
# wait for ever.
make_wine_prefix() {
  local name=$1 wine=$2 started=$SECONDS
  export WINEPREFIX=$PWD/build/$name/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  unset DISPLAY
  [ ! -f "$WINEPREFIX/system.reg" ] || return 0
  echo "creating the wine prefix $WINEPREFIX"
  mkdir -p "build/$name"
  "$wine" wineboot --init >"build/$name.wineboot.log" 2>&1 || { cat "build/$name.wineboot.log"; return 1; }
  echo "wine prefix created in $((SECONDS - started))s"
}
