# SPDX-License-Identifier: MIT
# The Debian packages: the source package and the binaries built with
# dpkg-buildpackage from a clean copy of the repository's files as they stand
# (copy_tree), checked by lintian (which reads debian/copyright in the
# source), installed with dpkg, then used with nothing but the system
# install: the autopkgtest in debian/tests (a C program through pkg-config, a
# C++ one through find_package) run by autopkgtest on this machine, the
# tarnwick tool and its manual. The packages are purged at the end, whether
# the steps passed or not.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
packages=(libtarnwick1 libtarnwick-dev tarnwick-tools)
[ "$(id -u)" -eq 0 ] || skip "installing the packages needs root"
git rev-parse --git-dir >/dev/null 2>&1 || skip "not a git clone, so no list of the files to package"
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  if [ -n "$status" ] && [ "$status" != not-installed ]; then
    skip "$p is $status here, and this layer would replace it and purge it"
  fi
done
need_packages debhelper dpkg-dev lintian autopkgtest cmake g++ libgtest-dev pkg-config man-db mandoc

work=build/deb
version=$(dpkg-parsechangelog -S Version)
src=$work/libtarnwick-$version
rm -rf "$work"
copy_tree "$src"
start=$SECONDS
logged "$work/build.log" env -C "$src" dpkg-buildpackage -us -uc -j"$jobs"
grep -E '^(dpkg-gensymbols|dh_missing):|tests passed' "$work/build.log" || true
echo "dpkg-buildpackage -us -uc: $((SECONDS - start))s"

debs=()
for p in "${packages[@]}"; do debs+=("$work/${p}_${version}_$(dpkg --print-architecture).deb"); done
for deb in "${debs[@]}"; do
  dpkg-deb -f "$deb" Package Version Architecture Multi-Arch Depends | tr '\n' ' '; echo
  dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ {print "  " $6, $7, $8}'
done
start=$SECONDS
lintian --fail-on error --display-info "$work"/libtarnwick_"$version"_*.changes | tee "$work/lintian.log"
! grep -E '^[EW]: .*(copyright|dep5)' "$work/lintian.log" >/dev/null || { echo "lintian: warnings about the copyright file"; exit 1; }
echo "lintian: no errors, no warnings about the copyright file ($((SECONDS - start))s)"

trap 'dpkg --purge "${packages[@]}" >/dev/null && echo "purged ${packages[*]}"' EXIT
logged "$work/install.log" dpkg -i "${debs[@]}"

# The source package's own tests, on this machine (the null testbed), against
# the packages just installed: autopkgtest finds their test dependencies
# satisfied and builds nothing.
logged "$work/autopkgtest.log" autopkgtest --no-built-binaries "$work/libtarnwick_$version.dsc" -- null
sed -n '/test consumers: \[-/,/test consumers: -*\]/p' "$work/autopkgtest.log"

/usr/bin/tarnwick walk | diff tests/tool/cases/sample-walk.out -
echo "tarnwick walk: the sample's events"
man -w tarnwick
man -w 3 libtarnwick
# The pages as installed, now that the references between them resolve.
# mandoc also notes that the system has no index of its own that lists them,
# which says nothing about the pages.
lint=$(mandoc -Tlint man/tarnwick.1 man/libtarnwick.3 2>&1 | grep -v 'outdated mandoc.db lacks' || true)
[ -z "$lint" ] || { echo "$lint"; exit 1; }
echo "mandoc -Tlint: nothing to report"
echo "deb ok"
