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
# prints it. A new prefix is copied from one kept in the cache for this wine
# and loader (made there once, in a folder of its own and moved into place,
# so that two runs at once never see half a prefix): making one takes half a
# minute where the loader is emulated.
make_wine_prefix() {
  local name=$1 wine=$2 started=$SECONDS key kept staged
  export WINEPREFIX=$PWD/build/$name/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  unset DISPLAY
  [ ! -f "$WINEPREFIX/system.reg" ] || return 0
  key=$( { echo "$wine"; dpkg-query -W -f='${Version}' wine; } | sha256sum | cut -c1-16)
  kept=$cache_root/wine/$(basename "$wine")-$key
  mkdir -p "build/$name" "$cache_root/wine"
  if [ ! -f "$kept/system.reg" ]; then
    echo "creating a wine prefix for $(basename "$wine") in $kept"
    # Where wine32 is installed, a new prefix is set up by 32-bit programs
    # too, whichever loader makes it.
    [ ! -x /usr/lib/wine/wine ] || wine_on_qemu >/dev/null || true
    staged=$(mktemp -d "$kept.XXXXXX")
    logged "build/$name.wineboot.log" init_wine_prefix "$staged" "$wine" || { rm -rf "$staged"; return 1; }
    mv -T "$staged" "$kept" 2>/dev/null || rm -rf "$staged"
  fi
  rm -rf "$WINEPREFIX" && cp -a "$kept" "$WINEPREFIX"
  echo "wine prefix ready in $((SECONDS - started))s"
}

# Sets up a new wine prefix in the folder PREFIX with the wine loader WINE.
# Without a debugger to start, a program that crashes ends (status 5 for an
# access violation) instead of waiting in one: for 32- and 64-bit programs
# alike.
init_wine_prefix() {
  local prefix=$1 wine=$2 debugger='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  WINEPREFIX=$prefix "$wine" wineboot --init &&
    WINEPREFIX=$prefix "$wine" reg add "$debugger" /v Debugger /d '' /f /reg:32 &&
    WINEPREFIX=$prefix "$wine" reg add "$debugger" /v Debugger /d '' /f /reg:64 &&
    WINEPREFIX=$prefix wineserver -w
}

# Keeps the wine server of the current prefix and its service processes
# running until the layer ends, started by a program of the layer's own whose
# output goes to build/NAME.services.log. Each test then starts in about a
# second instead of several (far more where the loader is emulated), and no
# service process is started by a test, where it would hold CTest's output
# pipe open and CTest would wait for it.
keep_wine_running() {
  local name=$1 wine=$2 input=build/$1.services.input
  wineserver -p
  running_wine_prefixes+=("$WINEPREFIX")
  trap stop_wine EXIT
  # cmd.exe waits on a pipe that this shell holds open: it ends when the
  # layer does, if the server has not ended it first.
  rm -f "$input" && mkfifo "$input"
  exec {wine_input}<>"$input"
  "$wine" cmd.exe <"$input" >"build/$name.services.log" 2>&1 &
  "$wine" cmd.exe /c exit 0 >>"build/$name.services.log" 2>&1
}

# Ends the wine servers that keep_wine_running started, and their processes.
running_wine_prefixes=()
stop_wine() {
  local prefix
  for prefix in "${running_wine_prefixes[@]}"; do WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; done
  wait
}

# Lets wine's 32-bit half run on this machine, or says why it cannot (and
# returns 1). Where the kernel runs 32-bit x86 programs itself, nothing is
# needed. Elsewhere they go to qemu's user-mode emulator through binfmt_misc
# (route_i386_to_qemu), and every emulated process is given the small library
# that works around the emulator's faults that wine meets
# (tests/wine-on-qemu), built for this machine into the cache.
wine_on_qemu() {
  local mode source library
  need_packages gcc-i686-linux-gnu
  mode=$(i386_mode)
  [ "$mode" != native ] || return 0
  need_packages qemu-user-static
  [ "$mode" = emulated ] || route_i386_to_qemu || return 1
  source=tests/wine-on-qemu/wine_on_qemu.c
  library=$cache_root/wine-on-qemu/$( { cat "$source"; i686-linux-gnu-gcc --version; } | sha256sum | cut -c1-16).so
  if [ ! -f "$library" ]; then
    mkdir -p "$(dirname "$library")"
    i686-linux-gnu-gcc -std=gnu99 -O2 -Wall -Wextra -Werror -shared -fPIC -fno-stack-protector "$source" \
      -o "$library.$$" -ldl && mv "$library.$$" "$library" || { rm -f "$library.$$"; exit 1; }
  fi
  echo "32-bit x86 programs run under qemu here: wine's emulated processes preload $library"
  export QEMU_SET_ENV=LD_PRELOAD=$library
}

# Registers qemu-i386 with binfmt_misc for 32-bit x86 programs, machine-wide
# (the F flag opens the emulator now, so the entry works in any mount
# namespace); Debian's qemu-user-static registers none for i386 on an amd64
# host. Says why and returns 1 where this machine cannot be changed: not
# root, or binfmt_misc cannot be mounted.
route_i386_to_qemu() {
  local binfmt=/proc/sys/fs/binfmt_misc
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  [ "$(id -u)" -eq 0 ] || { echo "not root: 32-bit x86 programs cannot be routed to qemu"; return 1; }
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" \
    || { echo "binfmt_misc cannot be mounted here: 32-bit x86 programs cannot be routed to qemu"; return 1; }
  if [ -e "$binfmt/qemu-i386" ]; then echo 1 >"$binfmt/qemu-i386"
  else printf '%s' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" >"$binfmt/register"; fi
  echo "registered /usr/bin/qemu-i386-static for 32-bit x86 programs with binfmt_misc"
  [ "$(i386_mode)" = emulated ] || { echo "the binfmt_misc entry does not take 32-bit x86 programs"; exit 1; }
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
  # Not root, or not CI: the layer is skipped, with the reason need_packages
  # printed.
  [ "$status" -eq 77 ] && exit 77
  grep -m 1 -E 'Failed to fetch .*/binary-i386/' /tmp/tarnwick-apt.log || exit 1
  echo "wine32 cannot be installed now: the archive's i386 package lists above could not be fetched"
  return 1
}
