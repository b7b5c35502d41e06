# SPDX-License-Identifier: MIT
# Big-endian Linux (IBM Z), cross-built and run under qemu: the whole suite
# and the tool's golden tests. The format fixes its byte order, so every byte
# the tests check is the same as on a little-endian machine. Then the
# library's exports and needs, as on x86-64.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_packages cmake g++-s390x-linux-gnu googletest qemu-user-static
cross_suite s390x linux-s390x
tests/check-exports build/s390x/libtarnwick.so
