// SPDX-License-Identifier: MIT
// In the coverage build (TARNWICK_COVERAGE_DUMP), a test program that aborts
// writes its coverage counters first. A death test's child stops at a failed
// assertion, and abort() ends a process without the exit handlers that would
// write them, so without this what only a death test reaches would never be
// counted. Every other build compiles this file to nothing.
#ifdef TARNWICK_COVERAGE_DUMP

#include <csignal>

// gcov's runtime, linked in by --coverage: writes the counters of every
// instrumented object loaded (the program and the shared library alike).
extern "C" void __gcov_dump(void);

namespace {

// abort() raises SIGABRT again with the default action once this returns, so
// the process still dies as the death test expects.
extern "C" void dump_counters(int) {
    __gcov_dump();
    std::signal(SIGABRT, SIG_DFL);
}

const bool installed = std::signal(SIGABRT, dump_counters) != SIG_ERR;

}  // namespace

#endif
