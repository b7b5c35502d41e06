# The 32-bit build, in which the format's numbers are those of 4-byte
# pointers. GoogleTest is built from Debian's sources for it.
need_packages g++-multilib googletest
build linux32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake -DTARNWICK_GTEST_SOURCE=/usr/src/googletest \
  -DTARNWICK_BUILD_BENCH=OFF
run_ctest linux32
tools/check-exports build/linux32/libtarnwick.so
