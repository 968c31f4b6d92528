// Small helpers shared by the test suites.
#pragma once

#include <cstdlib>
#include <cstring>

// Which sanitizer this test binary was built with, for the few tests that
// exercise behaviour a sanitizer reports on purpose, and for scaling down
// load tests under the slower sanitizer builds.
#if defined(__SANITIZE_THREAD__)
#define VESK_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VESK_UNDER_TSAN 1
#endif
#endif
#ifndef VESK_UNDER_TSAN
#define VESK_UNDER_TSAN 0
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VESK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_UNDER_ASAN 1
#endif
#endif
#ifndef VESK_UNDER_ASAN
#define VESK_UNDER_ASAN 0
#endif

// True in a sanitizer build: load tests use smaller counts there.
inline bool vesk_sanitized_build() { return VESK_UNDER_TSAN || VESK_UNDER_ASAN; }

// A forked child that ends with _exit writes no coverage counters, so what it
// ran would go uncounted; in the coverage build it writes them first.
#ifdef VESK_COVERAGE_BUILD
extern "C" void __gcov_dump(void);
inline void vesk_write_coverage_before_exit() { __gcov_dump(); }
#else
inline void vesk_write_coverage_before_exit() {}
#endif
