# 64-bit ARM Linux, cross-built and run under qemu: the whole suite and the
# tool's golden tests, with the numbers of 8-byte pointers.
need_packages cmake g++-aarch64-linux-gnu googletest qemu-user-static
cross_suite aarch64 linux-aarch64
