// SPDX-License-Identifier: MIT
// Which sanitizer a test is built with, as GCC and Clang each tell it, for
// the tests that cannot run under one: TARNWICK_TEST_ASAN (address),
// TARNWICK_TEST_MSAN (memory) and TARNWICK_TEST_TSAN (thread) are 1 when on.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TARNWICK_TEST_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define TARNWICK_TEST_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNWICK_TEST_ASAN 1
#endif
#if __has_feature(memory_sanitizer)
#define TARNWICK_TEST_MSAN 1
#endif
#if __has_feature(thread_sanitizer)
#define TARNWICK_TEST_TSAN 1
#endif
#endif
