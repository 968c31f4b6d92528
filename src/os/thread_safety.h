// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// lock or role guards a field, and which a function needs, takes or gives
// back.  Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define VESK_TSA(x) __attribute__((x))
#else
#define VESK_TSA(x)
#endif

#define VESK_CAPABILITY(x) VESK_TSA(capability(x))
#define VESK_SCOPED_CAPABILITY VESK_TSA(scoped_lockable)
#define VESK_GUARDED_BY(x) VESK_TSA(guarded_by(x))
#define VESK_PT_GUARDED_BY(x) VESK_TSA(pt_guarded_by(x))
#define VESK_REQUIRES(...) VESK_TSA(requires_capability(__VA_ARGS__))
#define VESK_ACQUIRE(...) VESK_TSA(acquire_capability(__VA_ARGS__))
#define VESK_RELEASE(...) VESK_TSA(release_capability(__VA_ARGS__))
#define VESK_EXCLUDES(...) VESK_TSA(locks_excluded(__VA_ARGS__))
#define VESK_ASSERT_CAPABILITY(x) VESK_TSA(assert_capability(x))
#define VESK_RETURN_CAPABILITY(x) VESK_TSA(lock_returned(x))
#define VESK_NO_THREAD_SAFETY_ANALYSIS VESK_TSA(no_thread_safety_analysis)
