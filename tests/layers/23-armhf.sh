# SPDX-License-Identifier: MIT
# 32-bit ARM Linux, cross-built and run under qemu: the whole suite and the
# tool's golden tests, with the numbers of 4-byte pointers as on i686; then
# the library's exports and needs, as on x86-64.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++-arm-linux-gnueabihf googletest qemu-user-static
cross_suite armhf linux-armhf
tests/check-exports build/armhf/libtarnwick.so
