# Big-endian Linux (IBM Z), cross-built and run under qemu: the whole suite
# and the tool's golden tests. The format fixes its byte order, so every byte
# the tests check is the same as on a little-endian machine.
need_packages cmake g++-s390x-linux-gnu googletest qemu-user-static
cross_suite s390x linux-s390x
