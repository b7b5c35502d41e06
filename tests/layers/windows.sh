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

# Installs wine with its 32-bit half, or says why that cannot be done here.
# The 32-bit half comes from the archive's i386 lists, and its libraries must
# match the installed amd64 ones version for version. When one of those lists
# cannot be fetched (an index caught mid-sync, served at the wrong size), apt
# has no i386 version that matches and refuses the install: that is the
# archive's state, not the project's, and the answer is no, with the reason.
# Any other failure to install fails the layer.
wine32_installed() {
  local status=0
  (need_packages wine wine32:i386) || status=$?
  [ "$status" -eq 0 ] && return 0
  # Not root, or not CI: the layer is skipped, as need_packages says.
  [ "$status" -eq 77 ] && exit 77
  grep -m 1 -E 'Failed to fetch .*/binary-i386/' /tmp/tarnwick-apt.log || exit 1
  echo "wine32 cannot be installed now: the archive's i386 package lists above could not be fetched"
  return 1
}

# Whether wine runs here. It is a 32-bit x86 program, which a kernel built
# without IA-32 emulation refuses ("Exec format error"): that is a limit of
# the machine, and the answer is no. Any other failure fails the layer.
wine_runs() {
  local log=build/$1.wine-version.log
  mkdir -p build
  wine --version >"$log" 2>&1 && return 0
  cat "$log"
  grep -q 'Exec format error' "$log" || exit 1
  return 1
}
