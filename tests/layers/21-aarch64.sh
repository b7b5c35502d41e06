# SPDX-License-Identifier: MIT
# 64-bit ARM Linux, cross-built and run under qemu: the whole suite and the
# tool's golden tests, with the numbers of 8-byte pointers; then the
# library's exports and needs, as on x86-64.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++-aarch64-linux-gnu googletest qemu-user-static
cross_suite aarch64 linux-aarch64
tests/check-exports build/aarch64/libtarnwick.so
